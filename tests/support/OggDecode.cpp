#include "support/OggDecode.h"

#include <ogg/ogg.h>
#include <vorbis/codec.h>

#include <algorithm>
#include <memory>

#include "support/TempHome.h"

namespace wk::test {
namespace {

// A sync state holding all of `bytes`.
struct Sync {
    explicit Sync(const std::string& bytes) {
        ogg_sync_init(&state);
        char* buffer = ogg_sync_buffer(&state, static_cast<long>(bytes.size()));
        std::copy(bytes.begin(), bytes.end(), buffer);
        ogg_sync_wrote(&state, static_cast<long>(bytes.size()));
    }
    ~Sync() { ogg_sync_clear(&state); }
    ogg_sync_state state;
};

// One logical stream: its headers, then its audio into `out`.
class LinkDecoder {
public:
    explicit LinkDecoder(int serial) {
        ogg_stream_init(&m_os, serial);
        vorbis_info_init(&m_vi);
        vorbis_comment_init(&m_vc);
    }
    ~LinkDecoder() {
        if (m_synthesis) {
            vorbis_block_clear(&m_vb);
            vorbis_dsp_clear(&m_vd);
        }
        vorbis_comment_clear(&m_vc);
        vorbis_info_clear(&m_vi);
        ogg_stream_clear(&m_os);
    }
    LinkDecoder(const LinkDecoder&) = delete;
    LinkDecoder& operator=(const LinkDecoder&) = delete;

    // Audio packets only (no headers) when `blockSizes` is given.
    bool Page(ogg_page& page, OggLink& link, DecodedOgg* out,
              std::vector<long>* blockSizes = nullptr) {
        if (m_headers == 3 && link.firstAudioGranule < 0)
            link.firstAudioGranule = ogg_page_granulepos(&page);
        if (ogg_stream_pagein(&m_os, &page) != 0) return false;
        ogg_packet op;
        for (int r; (r = ogg_stream_packetout(&m_os, &op)) != 0;) {
            if (r < 0) return false;
            if (m_headers < 3) {
                if (vorbis_synthesis_headerin(&m_vi, &m_vc, &op) != 0) return false;
                if (++m_headers == 3) Headers(link);
                continue;
            }
            if (blockSizes) blockSizes->push_back(vorbis_packet_blocksize(&m_vi, &op));
            if (!out) continue;
            if (vorbis_synthesis(&m_vb, &op) != 0 || vorbis_synthesis_blockin(&m_vd, &m_vb) != 0)
                return false;
            float** pcm = nullptr;
            for (int n; (n = vorbis_synthesis_pcmout(&m_vd, &pcm)) > 0;) {
                for (int c = 0; c < std::min(m_vi.channels, 2); ++c)
                    out->channels[c].insert(out->channels[c].end(), pcm[c], pcm[c] + n);
                link.frames += n;
                vorbis_synthesis_read(&m_vd, n);
            }
        }
        return true;
    }

private:
    void Headers(OggLink& link) {
        vorbis_synthesis_init(&m_vd, &m_vi);
        vorbis_block_init(&m_vd, &m_vb);
        m_synthesis = true;
        link.rate = m_vi.rate;
        link.channels = m_vi.channels;
        for (int i = 0; i < m_vc.comments; ++i)
            link.comments.emplace_back(m_vc.user_comments[i], size_t(m_vc.comment_lengths[i]));
    }

    ogg_stream_state m_os{};
    vorbis_info m_vi{};
    vorbis_comment m_vc{};
    vorbis_dsp_state m_vd{};
    vorbis_block m_vb{};
    int m_headers = 0;
    bool m_synthesis = false;
};

}  // namespace

std::vector<OggPage> OggPages(const std::string& bytes) {
    std::vector<OggPage> pages;
    Sync sync(bytes);
    size_t offset = 0;
    ogg_page page;
    while (ogg_sync_pageout(&sync.state, &page) == 1) {
        const auto length = static_cast<size_t>(page.header_len + page.body_len);
        pages.push_back({offset, length, ogg_page_granulepos(&page), ogg_page_serialno(&page),
                         ogg_page_bos(&page) != 0, ogg_page_eos(&page) != 0});
        offset += length;
    }
    return pages;
}

DecodedOgg DecodeOgg(const std::string& path) {
    DecodedOgg out;
    Sync sync(ReadFile(path));
    std::unique_ptr<LinkDecoder> link;
    ogg_page page;
    for (int r; (r = ogg_sync_pageout(&sync.state, &page)) != 0;) {
        if (r < 0) {
            out.valid = false;
            continue;
        }
        if (ogg_page_bos(&page)) {
            if (!out.links.empty() && !out.links.back().ended) out.valid = false;
            out.links.emplace_back().serial = ogg_page_serialno(&page);
            link = std::make_unique<LinkDecoder>(ogg_page_serialno(&page));
        }
        if (!link || out.links.back().ended ||
            ogg_page_serialno(&page) != out.links.back().serial ||
            !link->Page(page, out.links.back(), &out)) {
            out.valid = false;
            continue;
        }
        if (ogg_page_eos(&page)) out.links.back().ended = true;
    }
    if (out.links.empty() || !out.links.back().ended) out.valid = false;
    return out;
}

std::vector<long> BlockSizesOnPage(const std::string& bytes, size_t index) {
    std::vector<long> sizes;
    Sync sync(bytes);
    std::unique_ptr<LinkDecoder> decoder;
    OggLink link;
    ogg_page page;
    for (size_t n = 0; n <= index && ogg_sync_pageout(&sync.state, &page) == 1; ++n) {
        if (n == 0) decoder = std::make_unique<LinkDecoder>(ogg_page_serialno(&page));
        std::vector<long> onPage;
        if (!decoder->Page(page, link, nullptr, &onPage)) break;
        if (n == index) sizes = onPage;
    }
    return sizes;
}

}  // namespace wk::test
