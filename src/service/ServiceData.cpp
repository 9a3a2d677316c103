#include "service/ServiceData.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace wk {

namespace fs = std::filesystem;

namespace {

constexpr size_t kMaxStreamName = 128;
constexpr int kMaxUploadsPerSecond = 1000;

size_t CountTabFields(const std::string& line) {
    return static_cast<size_t>(std::count(line.begin(), line.end(), '\t')) + 1;
}

}  // namespace

std::optional<std::vector<std::string>> ReadTextLines(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(std::move(line));
    }
    return lines;
}

namespace {

std::string WithSlash(std::string folder) {
    if (folder.empty()) folder = "./";
    if (folder.back() != '/') folder.push_back('/');
    return folder;
}

}  // namespace

ServiceData::ServiceData(std::string folder)
    : m_folder(WithSlash(std::move(folder))), m_store(m_folder) {}

std::string ServiceData::StreamFolder(const std::string& stream) const {
    return m_folder + "streams/" + stream + "/";
}

std::vector<std::string> ServiceData::ChannelLines() const {
    std::vector<std::string> out;
    for (auto& line : ReadTextLines(m_folder + "channels.txt").value_or(std::vector<std::string>{})) {
        if (line.empty() || line.front() == '#') continue;
        if (CountTabFields(line) < 3) continue;
        out.push_back(std::move(line));
    }
    return out;
}

std::vector<std::string> ServiceData::ScheduleLines() const {
    return ReadTextLines(m_folder + "schedule.txt").value_or(std::vector<std::string>{});
}

bool ServiceData::CheckLogin(const std::string& login, const std::string& password) const {
    const std::string path = m_folder + "accounts.txt";
    std::error_code ec;
    if (!fs::exists(path, ec) && !ec) return true;
    const auto lines = ReadTextLines(path);
    if (!lines) return false;
    for (const auto& line : *lines) {
        const size_t tab = line.find('\t');
        if (tab == std::string::npos || tab == 0) continue;
        if (line.compare(0, tab, login) == 0 && tab == login.size() &&
            line.compare(tab + 1, std::string::npos, password) == 0)
            return true;
    }
    return false;
}

bool ServiceData::IsSafeStreamName(std::string_view name) {
    if (name.empty() || name.size() > kMaxStreamName || name.front() == '.') return false;
    return std::none_of(name.begin(), name.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return c == '/' || c == '\\' || u < 0x20 || u == 0x7F;
    });
}

std::optional<std::vector<ServiceStore::Source>> ServiceData::Overlapping(
    const std::string& stream, StreamTime start, StreamTime end) {
    if (!IsSafeStreamName(stream)) return std::vector<ServiceStore::Source>{};
    if (!m_store.SyncFolder(stream, StreamFolder(stream))) return std::nullopt;
    return m_store.Overlapping(stream, start, end);
}

std::optional<std::string> ServiceData::StoreUpload(const std::string& stream,
                                                    const std::string& bytes,
                                                    const DateTime& serverNow) {
    if (!IsSafeStreamName(stream)) return std::nullopt;
    std::lock_guard lock(m_streamsMutex);
    const std::string folder = StreamFolder(stream);
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec) return std::nullopt;
    const std::string prefix = folder + "upload_" + serverNow.FileNamePrefix();
    for (int n = 0; n < kMaxUploadsPerSecond; ++n) {
        char number[8];
        std::snprintf(number, sizeof number, "%03d", n);
        const std::string path = prefix + number + ".des";
        if (fs::exists(path, ec)) continue;
        const std::string temp = path + ".tmp";
        {
            std::ofstream out(temp, std::ios::binary | std::ios::trunc);
            out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
            if (!out.flush()) {
                fs::remove(temp, ec);
                return std::nullopt;
            }
        }
        fs::rename(temp, path, ec);
        if (ec) {
            fs::remove(temp, ec);
            return std::nullopt;
        }
        // Should the database fail here, the next request of the stream
        // takes the file in from the folder.
        m_store.AddFile(stream, fs::path(path).filename().string(), bytes);
        return path;
    }
    return std::nullopt;
}

}  // namespace wk
