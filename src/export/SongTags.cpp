#include "export/SongTags.h"

#include <fcntl.h>
#include <ogg/ogg.h>
#include <sys/stat.h>
#include <taglib/commentsframe.h>
#include <taglib/id3v2tag.h>
#include <taglib/mpegfile.h>
#include <taglib/textidentificationframe.h>
#include <taglib/vorbisfile.h>
#include <taglib/xiphcomment.h>
#include <unistd.h>
#include <vorbis/codec.h>
#include <vorbis/vorbisfile.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>

#include "core/FileUtil.h"
#include "core/Trace.h"
#include "descriptions/Description.h"
#include "export/Id3Tag.h"
#include "export/Mp3Scan.h"
#include "export/ReplayGain.h"

namespace wk {
namespace {

bool IsUtf8(const std::string& s) {
    size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<uint8_t>(s[i]);
        size_t more = 0;
        uint32_t cp = 0;
        if (c < 0x80) {
            ++i;
            continue;
        }
        if ((c & 0xE0) == 0xC0) {
            more = 1;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            more = 2;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            more = 3;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (i + more >= s.size()) return false;
        for (size_t k = 1; k <= more; ++k) {
            const auto d = static_cast<uint8_t>(s[i + k]);
            if ((d & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (d & 0x3F);
        }
        // Overlong forms, surrogates and values past Unicode are not UTF-8.
        static constexpr uint32_t kLeast[] = {0, 0x80, 0x800, 0x10000};
        if (cp < kLeast[more] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += more + 1;
    }
    return true;
}

TagLib::String Text(const std::string& s) {
    return TagLib::String(s, IsUtf8(s) ? TagLib::String::UTF8 : TagLib::String::Latin1);
}

std::string Utf8(const std::string& s) {
    return Text(s).to8Bit(true);
}

// A year TDRC and DATE can carry: YYYY, YYYY-MM or YYYY-MM-DD.
bool IsTimestamp(const std::string& y) {
    static const char* const kForms[] = {"dddd", "dddd-dd", "dddd-dd-dd"};
    return std::any_of(std::begin(kForms), std::end(kForms), [&](const char* form) {
        if (y.size() != std::strlen(form)) return false;
        for (size_t i = 0; i < y.size(); ++i) {
            const bool digit = y[i] >= '0' && y[i] <= '9';
            if (form[i] == 'd' ? !digit : y[i] != form[i]) return false;
        }
        return true;
    });
}

// The "KEY", value pairs both kinds of tag carry beside their own fields.
std::vector<std::pair<std::string, std::string>> ExtraFields(const SongTags& t) {
    std::vector<std::pair<std::string, std::string>> fields;
    if (!t.stream.empty()) fields.emplace_back("STREAM", Utf8(t.stream));
    if (!t.recorded.empty()) fields.emplace_back("RECORDING_DATE", t.recorded);
    if (t.replayGain) {
        const ReplayGainValues& rg = *t.replayGain;
        fields.emplace_back("REPLAYGAIN_TRACK_GAIN", GainText(rg.trackGain));
        fields.emplace_back("REPLAYGAIN_TRACK_PEAK", PeakText(rg.trackPeak));
        fields.emplace_back("REPLAYGAIN_ALBUM_GAIN", GainText(rg.albumGain));
        fields.emplace_back("REPLAYGAIN_ALBUM_PEAK", PeakText(rg.albumPeak));
    }
    return fields;
}

// A file beside `path` that replaces it on Commit and is removed otherwise.
class Replacement {
public:
    explicit Replacement(const std::string& path) : m_target(path) {
        m_path = path + ".tagXXXXXX";
        const int fd = ::mkostemp(m_path.data(), O_CLOEXEC);
        if (fd < 0) return;
        m_file.reset(::fdopen(fd, "wb"));
        if (!m_file) ::close(fd);
        m_created = true;
    }
    ~Replacement() {
        m_file.reset();
        if (m_created) ::unlink(m_path.c_str());
    }
    Replacement(const Replacement&) = delete;
    Replacement& operator=(const Replacement&) = delete;

    std::FILE* Get() const { return m_file.get(); }
    bool Write(const void* data, size_t n) { return m_file && WriteAll(m_file.get(), data, n); }
    // Flushes the copy to the disk and puts it in the song's place.
    bool Commit() {
        std::FILE* f = m_file.release();
        if (f == nullptr) return false;
        struct stat st {};
        bool ok = std::fflush(f) == 0 && std::ferror(f) == 0;
        if (ok && ::stat(m_target.c_str(), &st) == 0) ::fchmod(::fileno(f), st.st_mode & 07777);
        ok = ok && ::fsync(::fileno(f)) == 0;
        ok = std::fclose(f) == 0 && ok;
        if (!ok || ::rename(m_path.c_str(), m_target.c_str()) != 0) return false;
        m_created = false;
        return true;
    }

private:
    std::string m_target;
    std::string m_path;
    FilePtr m_file;
    bool m_created = false;
};

// The bytes of the ID3v2 tag that opens `f` (header, frames, footer), 0
// when none does.
int64_t Id3v2Size(std::FILE* f) {
    uint8_t h[10];
    if (std::fseek(f, 0, SEEK_SET) != 0 || std::fread(h, 1, 10, f) != 10) return 0;
    return mp3::Id3v2Length(h);
}

bool CopyRest(std::FILE* in, int64_t from, Replacement& out) {
    if (::fseeko(in, static_cast<off_t>(from), SEEK_SET) != 0) return false;
    std::vector<char> block(1 << 16);
    for (;;) {
        const size_t got = std::fread(block.data(), 1, block.size(), in);
        if (got == 0) break;
        if (!out.Write(block.data(), got)) return false;
    }
    return std::ferror(in) == 0;
}

// ---------------------------------------------------------------------------
// Ogg

struct PacketCopy {
    std::vector<unsigned char> bytes;
    ogg_int64_t granulepos = 0;
};

bool WritePage(Replacement& out, const ogg_page& page) {
    return out.Write(page.header, static_cast<size_t>(page.header_len)) &&
           out.Write(page.body, static_cast<size_t>(page.body_len));
}

// The comment packet of `tags`, keeping the comments of `old` whose key
// the tags do not set (the encoder's, for one).
std::vector<unsigned char> CommentPacket(const SongTags& tags, const vorbis_comment& old) {
    const std::vector<std::string> fresh = VorbisComments(tags);
    vorbis_comment vc;
    vorbis_comment_init(&vc);
    for (int i = 0; i < old.comments; ++i) {
        const std::string c(old.user_comments[i], static_cast<size_t>(old.comment_lengths[i]));
        const std::string key = c.substr(0, c.find('='));
        const bool replaced = std::any_of(fresh.begin(), fresh.end(), [&](const std::string& f) {
            return strcasecmp(f.substr(0, f.find('=')).c_str(), key.c_str()) == 0;
        });
        if (!replaced) vorbis_comment_add(&vc, c.c_str());
    }
    for (const std::string& c : fresh) vorbis_comment_add(&vc, c.c_str());
    ogg_packet op;
    std::vector<unsigned char> bytes;
    if (vorbis_commentheader_out(&vc, &op) == 0) {
        bytes.assign(op.packet, op.packet + op.bytes);
        ogg_packet_clear(&op);
    }
    vorbis_comment_clear(&vc);
    return bytes;
}

// Writes the link's headers, the comment header replaced; the pages used.
bool WriteHeaders(const std::vector<PacketCopy>& headers, const SongTags& tags, int serial,
                  Replacement& out, long& pages) {
    vorbis_info vi;
    vorbis_comment vc;
    vorbis_info_init(&vi);
    vorbis_comment_init(&vc);
    bool ok = true;
    for (size_t i = 0; i < 3 && ok; ++i) {
        ogg_packet op{};
        op.packet = const_cast<unsigned char*>(headers[i].bytes.data());
        op.bytes = static_cast<long>(headers[i].bytes.size());
        op.b_o_s = i == 0;
        ok = vorbis_synthesis_headerin(&vi, &vc, &op) == 0;
    }
    std::vector<unsigned char> comment;
    if (ok) comment = CommentPacket(tags, vc);
    vorbis_comment_clear(&vc);
    vorbis_info_clear(&vi);
    if (!ok || comment.empty()) return false;

    ogg_stream_state os;
    ogg_stream_init(&os, serial);
    const std::array<const std::vector<unsigned char>*, 3> packets = {&headers[0].bytes, &comment,
                                                                      &headers[2].bytes};
    ogg_page page;
    for (size_t i = 0; i < 3 && ok; ++i) {
        ogg_packet op{};
        op.packet = const_cast<unsigned char*>(packets[i]->data());
        op.bytes = static_cast<long>(packets[i]->size());
        op.b_o_s = i == 0;
        op.packetno = static_cast<ogg_int64_t>(i);
        ogg_stream_packetin(&os, &op);
        // The identification header has the first page to itself.
        if (i == 0 || i == 2) {
            while (ok && ogg_stream_flush(&os, &page) != 0) ok = WritePage(out, page);
        }
    }
    pages = os.pageno;
    ogg_stream_clear(&os);
    return ok;
}

// Copies the Ogg song `in` into `out` with new comment headers.
bool RetagChain(std::FILE* in, const SongTags& tags, Replacement& out, std::string& why) {
    ogg_sync_state sync;
    ogg_sync_init(&sync);
    ogg_stream_state os;
    ogg_stream_init(&os, 0);
    std::vector<PacketCopy> headers;
    bool inHeaders = false;
    bool any = false;
    int serial = 0;
    long pageNo = 0;
    ogg_page page;
    const auto done = [&](bool ok, const char* reason) {
        ogg_stream_clear(&os);
        ogg_sync_clear(&sync);
        if (!ok) why = reason;
        return ok;
    };
    for (;;) {
        const int got = ogg_sync_pageout(&sync, &page);
        if (got < 0) return done(false, "a damaged page");
        if (got == 0) {
            char* buffer = ogg_sync_buffer(&sync, 1 << 15);
            const size_t n = buffer ? std::fread(buffer, 1, 1 << 15, in) : 0;
            if (n == 0) break;
            ogg_sync_wrote(&sync, static_cast<long>(n));
            continue;
        }
        if (ogg_page_bos(&page) != 0) {
            if (inHeaders) return done(false, "a link without its headers");
            serial = ogg_page_serialno(&page);
            ogg_stream_reset_serialno(&os, serial);
            headers.clear();
            inHeaders = any = true;
        }
        if (!any || ogg_page_serialno(&page) != serial) return done(false, "a page of no link");
        if (inHeaders) {
            if (ogg_stream_pagein(&os, &page) != 0) return done(false, "a damaged header page");
            ogg_packet op;
            while (ogg_stream_packetout(&os, &op) == 1) {
                if (headers.size() == 3) return done(false, "audio on a header page");
                headers.push_back({{op.packet, op.packet + op.bytes}, op.granulepos});
            }
            if (headers.size() < 3) continue;
            if (os.lacing_returned != os.lacing_fill) return done(false, "audio on a header page");
            if (!WriteHeaders(headers, tags, serial, out, pageNo))
                return done(false, "headers that are not Vorbis, or a write that failed");
            inHeaders = false;
            continue;
        }
        // Audio pages stay as they are but for their number.
        const auto seq = static_cast<uint32_t>(pageNo++);
        for (int i = 0; i < 4; ++i)
            page.header[18 + i] = static_cast<unsigned char>(seq >> (8 * i));
        ogg_page_checksum_set(&page);
        if (!WritePage(out, page)) return done(false, "a write that failed");
    }
    if (std::ferror(in) != 0) return done(false, "a read that failed");
    if (!any || inHeaders) return done(false, "no whole Vorbis stream");
    return done(true, "");
}

// ---------------------------------------------------------------------------
// Loudness of Ogg songs

struct OggTrack {
    bool ok = false;
    double gain = 0;
    double peak = 0;
};

OggTrack AnalyseOgg(const std::string& path, ReplayGainAnalysis& rg, long& rate) {
    OggTrack track;
    OggVorbis_File vf;
    if (ov_fopen(path.c_str(), &vf) != 0) return track;
    std::vector<double> left, right;
    bool fed = false;
    bool usable = true;
    for (;;) {
        float** pcm = nullptr;
        int link = 0;
        const long n = ov_read_float(&vf, &pcm, 1024, &link);
        if (n == OV_HOLE) continue;
        if (n <= 0) {
            usable = usable && n == 0;
            break;
        }
        const vorbis_info* vi = ov_info(&vf, link);
        if (vi == nullptr || vi->channels < 1 || vi->channels > 2 ||
            !ReplayGainAnalysis::IsSupportedRate(vi->rate)) {
            usable = false;
            break;
        }
        if (rate == 0 ? !rg.Init(vi->rate) : vi->rate != rate && !rg.ResetSampleRate(vi->rate)) {
            usable = false;
            break;
        }
        rate = vi->rate;
        const auto count = static_cast<size_t>(n);
        left.resize(count);
        right.resize(count);
        for (size_t i = 0; i < count; ++i) {
            left[i] = pcm[0][i] * 32768.0;
            right[i] = pcm[vi->channels - 1][i] * 32768.0;
            track.peak = std::max({track.peak, std::fabs(double{pcm[0][i]}),
                                   std::fabs(double{pcm[vi->channels - 1][i]})});
        }
        if (!rg.Analyze(left.data(), vi->channels == 2 ? right.data() : nullptr, count,
                        vi->channels)) {
            break;
        }
        fed = true;
    }
    ov_clear(&vf);
    if (!fed) return track;
    track.gain = rg.TrackGain();
    track.ok = usable && track.gain != kGainNotEnoughSamples;
    return track;
}

}  // namespace

SongTags SongTagsFor(const Description& track, const std::string& stream, StreamTime start) {
    SongTags tags;
    tags.title = track.title;
    tags.artist = track.artist;
    tags.album = track.album;
    tags.year = track.year;
    tags.comment = track.comment;
    tags.genre = track.genre;
    tags.stream = stream;
    const DateTime when = DateTime::FromStreamTime(start);
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", when.year, when.month,
                  when.day, when.hour, when.minute, when.second);
    tags.recorded = text;
    return tags;
}

std::string GainText(double db) {
    char text[32];
    std::snprintf(text, sizeof text, "%+.2f dB", db);
    return text;
}

std::string PeakText(double peak) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6f", peak);
    return text;
}

std::string RenderId3v2Tag(const SongTags& t) {
    using namespace TagLib;
    ID3v2::Tag tag;
    const auto text = [&tag](const char* id, const std::string& value) {
        if (value.empty()) return;
        auto* frame = new ID3v2::TextIdentificationFrame(ByteVector(id), String::UTF8);
        frame->setText(Text(value));
        tag.addFrame(frame);
    };
    text("TIT2", t.title);
    text("TPE1", t.artist);
    text("TALB", t.album);
    if (IsTimestamp(t.year)) text("TDRC", t.year);
    text("TCON", GetGenreName(t.genre));
    if (!t.comment.empty()) {
        auto* comment = new ID3v2::CommentsFrame(String::UTF8);
        comment->setLanguage("eng");
        comment->setText(Text(t.comment));
        tag.addFrame(comment);
    }
    for (const auto& [key, value] : ExtraFields(t)) {
        tag.addFrame(new ID3v2::UserTextIdentificationFrame(
            String(key, String::UTF8), StringList(String(value, String::UTF8)), String::UTF8));
    }
    const ByteVector bytes = tag.render(ID3v2::v4);
    return std::string(bytes.data(), bytes.size());
}

std::vector<std::string> VorbisComments(const SongTags& t) {
    std::vector<std::string> comments;
    const auto add = [&comments](const char* key, const std::string& value) {
        if (!value.empty()) comments.push_back(std::string(key) + "=" + value);
    };
    add("TITLE", Utf8(t.title));
    add("ARTIST", Utf8(t.artist));
    add("ALBUM", Utf8(t.album));
    if (IsTimestamp(t.year)) add("DATE", t.year);
    add("GENRE", GetGenreName(t.genre));
    add("COMMENT", Utf8(t.comment));
    for (const auto& [key, value] : ExtraFields(t)) add(key.c_str(), value);
    return comments;
}

bool WriteMp3SongTags(const std::string& path, const SongTags& tags) {
    FilePtr in(std::fopen(path.c_str(), "rb"));
    Replacement out(path);
    const std::string tag = RenderId3v2Tag(tags);
    // A tag that claims more than the file holds is no tag of ours: the
    // audio after it is not given up.
    const int64_t oldTag = in ? Id3v2Size(in.get()) : 0;
    if (in && oldTag <= FileLength(in.get()) && out.Get() && out.Write(tag.data(), tag.size()) &&
        CopyRest(in.get(), oldTag, out) && out.Commit()) {
        return true;
    }
    Trace(kTraceError, "The tags of %s could not be written; the song stays as it was",
          path.c_str());
    return false;
}

std::string Mp3TagWithReplayGain(const std::string& path, const ReplayGainValues& values) {
    using namespace TagLib;
    MPEG::File file(path.c_str(), false);
    ID3v2::Tag* tag = file.isValid() ? file.ID3v2Tag(false) : nullptr;
    const auto has = [tag](const char* key) {
        return ID3v2::UserTextIdentificationFrame::find(tag, key) != nullptr;
    };
    if (tag == nullptr || !(has("REPLAYGAIN_TRACK_GAIN") || has("REPLAYGAIN_ALBUM_GAIN"))) return {};
    SongTags gain;
    gain.replayGain = values;
    for (const auto& [key, value] : ExtraFields(gain)) {
        while (auto* old = ID3v2::UserTextIdentificationFrame::find(tag, key.c_str()))
            tag->removeFrame(old);
        tag->addFrame(new ID3v2::UserTextIdentificationFrame(
            String(key, String::UTF8), StringList(String(value, String::UTF8)), String::UTF8));
    }
    const ByteVector bytes = tag->render(ID3v2::v4);
    return std::string(bytes.data(), bytes.size());
}

bool WriteOggSongTags(const std::string& path, const SongTags& tags) {
    FilePtr in(std::fopen(path.c_str(), "rb"));
    Replacement out(path);
    std::string why = "it cannot be read or copied";
    if (in && out.Get() && RetagChain(in.get(), tags, out, why) && out.Commit()) return true;
    Trace(kTraceError, "The tags of %s could not be written (%s); the song stays as it was",
          path.c_str(), why.c_str());
    return false;
}

std::vector<std::optional<ReplayGainValues>> MeasureOggLoudness(
    const std::vector<std::string>& paths) {
    ReplayGainAnalysis rg;
    long rate = 0;
    std::vector<OggTrack> tracks;
    double albumPeak = 0;
    for (const std::string& path : paths) {
        tracks.push_back(AnalyseOgg(path, rg, rate));
        if (tracks.back().ok) albumPeak = std::max(albumPeak, tracks.back().peak);
    }
    const double albumGain = rate == 0 ? kGainNotEnoughSamples : rg.AlbumGain();
    std::vector<std::optional<ReplayGainValues>> values;
    for (const OggTrack& t : tracks) {
        if (!t.ok || albumGain == kGainNotEnoughSamples) {
            values.emplace_back();
            continue;
        }
        values.push_back(ReplayGainValues{t.gain, t.peak, albumGain, albumPeak});
    }
    return values;
}

std::string LongTagSummary(const std::string& path) {
    using namespace TagLib;
    const auto summary = [](const Tag& tag, const String& albumGain) {
        std::string text = tag.artist().to8Bit(true) + " - " + tag.title().to8Bit(true);
        const std::string album = tag.album().to8Bit(true);
        if (!album.empty())
            text += " [" + album + (tag.year() ? ", " + std::to_string(tag.year()) : "") + "]";
        if (!tag.genre().isEmpty()) text += " (" + tag.genre().to8Bit(true) + ")";
        if (!albumGain.isEmpty()) text += " album gain " + albumGain.to8Bit(true);
        return text;
    };
    const std::string ext = path.size() >= 4 ? path.substr(path.size() - 4) : "";
    if (ext == ".mp3") {
        MPEG::File file(path.c_str(), false);
        ID3v2::Tag* tag = file.isValid() ? file.ID3v2Tag(false) : nullptr;
        if (tag == nullptr || tag->isEmpty()) return {};
        const auto* gain = ID3v2::UserTextIdentificationFrame::find(tag, "REPLAYGAIN_ALBUM_GAIN");
        return summary(*tag,
                       gain && !gain->fieldList().isEmpty() ? gain->fieldList().back() : String());
    }
    if (ext == ".ogg") {
        Ogg::Vorbis::File file(path.c_str(), false);
        Ogg::XiphComment* tag = file.isValid() ? file.tag() : nullptr;
        if (tag == nullptr || (tag->artist().isEmpty() && tag->title().isEmpty())) return {};
        const auto& fields = tag->fieldListMap();
        const auto gain = fields.find("REPLAYGAIN_ALBUM_GAIN");
        return summary(*tag, gain != fields.end() && !gain->second.isEmpty() ? gain->second.front()
                                                                             : String());
    }
    return {};
}

}  // namespace wk
