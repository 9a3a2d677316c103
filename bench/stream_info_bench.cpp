// Reading a stream folder: UpdateStreamInfo over a large folder, and the
// disk manager's measuring pass over the same folder, for
// bench/run-streamstore-bench.
//
//   wavkeep_bench_streaminfo generate DIR COUNT   make COUNT chunks in DIR
//   wavkeep_bench_streaminfo update DIR           one UpdateStreamInfo
//   wavkeep_bench_streaminfo disk DIR             one disk check's measuring pass

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "streamstore/ChunkName.h"
#include "streamstore/DiskSpaceManager.h"
#include "streamstore/StreamInfo.h"

namespace {

// Day-long sessions of 10-second chunks: a month is about 260,000 chunks.
constexpr long long kChunkSeconds = 10;
constexpr long long kSessionSeconds = 86400;
constexpr int kChunksPerSession = static_cast<int>(kSessionSeconds / kChunkSeconds);
constexpr size_t kSideFileBytes = 1000;

bool WriteBytes(const std::string& path, const char* bytes, size_t size) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    const bool ok = ::write(fd, bytes, size) == static_cast<ssize_t>(size);
    return ::close(fd) == 0 && ok;
}

int Generate(const std::string& folder, long count) {
    if (::mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) {
        std::perror(folder.c_str());
        return 1;
    }
    const std::string side(kSideFileBytes, '\x20');
    const char audio[] = "mp3";
    wk::DateTime day(2003, 11, 1, 0, 0, 0);
    for (long i = 0; i < count; ++i) {
        const int number = static_cast<int>(i % kChunksPerSession) + 1;
        if (i > 0 && number == 1) {
            day = wk::DateTime::FromStreamTime(day.ToStreamTime() + wk::kMsPerDay);
        }
        const std::string base =
            wk::FolderFile(folder, wk::ChunkBaseName(day, kSessionSeconds, kChunkSeconds, number));
        if (!WriteBytes(base + ".mp3", audio, sizeof audio - 1) ||
            !WriteBytes(base + ".dat", side.data(), side.size()) ||
            !WriteBytes(base + ".fgp", side.data(), side.size())) {
            std::perror(base.c_str());
            return 1;
        }
    }
    std::printf("%ld chunks in %s\n", count, folder.c_str());
    return 0;
}

int Update(const std::string& folder) {
    wk::StreamInfo info;
    info.folder = folder;
    wk::UpdateStreamInfo(info);
    size_t spans = 0;
    for (const wk::MP3SingleSaving& session : info.sessions) spans += session.spans.size();
    std::printf("%zu sessions, %zu spans\n", info.sessions.size(), spans);
    return 0;
}

// The disk-space check's measuring pass over the folder, timed the same way
// as Update.
int Disk(const std::string& folder) {
    std::string path = folder;
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    const size_t slash = path.rfind('/');
    const std::string root = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const uint64_t used = wk::DiskSpaceManager::MeasureUsedSpace(root, {name});
    std::printf("%llu bytes of chunks\n", static_cast<unsigned long long>(used));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "generate" && argc == 4) return Generate(argv[2], std::atol(argv[3]));
    if (mode == "update" && argc == 3) return Update(argv[2]);
    if (mode == "disk" && argc == 3) return Disk(argv[2]);
    std::fprintf(stderr, "usage: %s generate DIR COUNT | update DIR | disk DIR\n", argv[0]);
    return 2;
}
