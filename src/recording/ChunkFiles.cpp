#include "recording/ChunkFiles.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "core/CTError.h"
#include "core/Trace.h"
#include "streamstore/ChunkStartNote.h"

namespace wk {
namespace {

int CreateFile(const std::string& path) {
    return ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
}

void CloseFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

}  // namespace

ChunkFiles::~ChunkFiles() {
    CloseQuietly();
}

void ChunkFiles::Create(const std::string& base, const std::string& audioExtension) {
    CloseQuietly();
    // A note left by an earlier chunk of this name would tell of other audio.
    ::unlink((base + kChunkNoteExtension).c_str());
    const std::string paths[3] = {base + audioExtension, base + ".dat", base + ".fgp"};
    int fds[3] = {-1, -1, -1};
    for (int i = 0; i < 3; ++i) {
        fds[i] = CreateFile(paths[i]);
        if (fds[i] < 0) {
            const int err = errno;
            Trace(kTraceError, "Cannot create %s: %s", paths[i].c_str(), std::strerror(err));
            for (int j = 0; j < i; ++j) {
                ::close(fds[j]);
                ::unlink(paths[j].c_str());
            }
            throw CTErrorRecorder(kErrEncoderCreateFile);
        }
    }
    m_base = base;
    m_audioExtension = audioExtension;
    m_audio = fds[0];
    m_dat = fds[1];
    m_fgp = fds[2];
}

void ChunkFiles::WriteAll(int fd, const char* what, std::span<const uint8_t> bytes) {
    const uint8_t* p = bytes.data();
    size_t left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const char* reason = n < 0 ? std::strerror(errno) : "nothing written";
            Trace(kTraceError, "Cannot write %s%s: %s", m_base.c_str(), what, reason);
            throw CTErrorRecorder(kErrEncoderWriteFile);
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
}

void ChunkFiles::WriteAudio(std::span<const uint8_t> bytes) {
    WriteAll(m_audio, m_audioExtension.c_str(), bytes);
}

void ChunkFiles::WriteDat(std::span<const uint8_t> bytes) {
    WriteAll(m_dat, ".dat", bytes);
}

void ChunkFiles::WriteFgp(std::span<const uint8_t> bytes) {
    WriteAll(m_fgp, ".fgp", bytes);
}

void ChunkFiles::Close() {
    bool ok = true;
    for (int* fd : {&m_audio, &m_dat, &m_fgp}) {
        if (*fd >= 0 && ::close(*fd) != 0) ok = false;
        *fd = -1;
    }
    if (!ok) {
        Trace(kTraceError, "Cannot close the files of %s: %s", m_base.c_str(), std::strerror(errno));
        throw CTErrorRecorder(kErrEncoderWriteFile);
    }
}

void ChunkFiles::CloseQuietly() {
    CloseFd(m_audio);
    CloseFd(m_dat);
    CloseFd(m_fgp);
}

void ChunkFiles::CloseAndDelete() {
    CloseQuietly();
    if (m_base.empty()) return;
    for (const std::string& ext : {m_audioExtension, std::string(".dat"), std::string(".fgp"),
                                   std::string(kChunkNoteExtension)})
        ::unlink((m_base + ext).c_str());
}

}  // namespace wk
