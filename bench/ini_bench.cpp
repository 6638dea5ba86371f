// ini_bench.cpp: reads and writes per second on a 200-key INI file through
// CIniFile (the profile engine: whole-file parse per call, atomic replace
// with fdatasync per write) beside a plain std::ifstream/std::ofstream peer.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "VexloTool/IniFile.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kKeys = 200;

std::string KeyName(int i) {
    char name[16];
    std::snprintf(name, sizeof name, "key%03d", i);
    return name;
}

void MakeFile(const fs::path& path) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << "; benchmark settings\r\n[bench]\r\n";
    for (int i = 0; i < kKeys; ++i)
        out << KeyName(i) << "=" << i * 13 << "\r\n";
    out << "[other]\r\nname=value\r\n";
}

// Runs `op` for about `seconds` and returns operations per second.
template <class Op>
double Rate(double seconds, Op op) {
    long count = 0;
    Clock::time_point start = Clock::now();
    Clock::time_point end =
        start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    Clock::time_point now = start;
    while (now < end) {
        for (int i = 0; i < 16; ++i)
            op(count++);
        now = Clock::now();
    }
    return count / std::chrono::duration<double>(now - start).count();
}

bool SameName(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

std::string Trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r"), e = s.find_last_not_of(" \t\r");
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

// The peer: a plain line-by-line parse, first match, no quotes or encodings.
int PeerRead(const fs::path& path, const std::string& section, const std::string& key, int def) {
    std::ifstream in(path, std::ios::binary);
    std::string line;
    bool inSection = false;
    while (std::getline(in, line)) {
        line = Trim(line);
        if (!line.empty() && line[0] == '[') {
            inSection = SameName(Trim(line.substr(1, line.find(']') - 1)), section);
        } else if (inSection) {
            size_t eq = line.find('=');
            if (eq != std::string::npos && SameName(Trim(line.substr(0, eq)), key))
                return std::atoi(line.c_str() + eq + 1);
        }
    }
    return def;
}

void PeerWrite(const fs::path& path, const std::string& section, const std::string& key,
               int value) {
    std::vector<std::string> lines;
    {
        std::ifstream in(path, std::ios::binary);
        std::string line;
        while (std::getline(in, line))
            lines.push_back(line);
    }
    bool inSection = false;
    for (std::string& line : lines) {
        std::string t = Trim(line);
        if (!t.empty() && t[0] == '[') {
            inSection = SameName(Trim(t.substr(1, t.find(']') - 1)), section);
        } else if (inSection) {
            size_t eq = t.find('=');
            if (eq != std::string::npos && SameName(Trim(t.substr(0, eq)), key)) {
                line = key + "=" + std::to_string(value) + "\r";
                break;
            }
        }
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    for (const std::string& line : lines)
        out << line << '\n';
}

void Report(const char* what, double ours, double peer) {
    std::printf("%-34s %12.0f /s   peer %12.0f /s   ratio %.2f\n", what, ours, peer, ours / peer);
}

}  // namespace

int main() {
    fs::path dir = fs::temp_directory_path() / "vx_ini_bench";
    fs::create_directories(dir);
    fs::path ours = dir / "ours.ini", peer = dir / "peer.ini";
    MakeFile(ours);
    MakeFile(peer);
    VexloTool::CIniFile ini(ours.wstring().c_str());

    std::vector<std::wstring> wideKeys;
    std::vector<std::string> keys;
    for (int i = 0; i < kKeys; ++i) {
        keys.push_back(KeyName(i));
        wideKeys.push_back(fs::path(keys.back()).wstring());
    }

    long sink = 0;
    double oursRead = Rate(
        1.0, [&](long i) { sink += ini.GetIntValue(L"bench", wideKeys[i % kKeys].c_str(), -1); });
    double peerRead =
        Rate(1.0, [&](long i) { sink += PeerRead(peer, "bench", keys[i % kKeys], -1); });
    Report("read (GetIntValue, 200 keys)", oursRead, peerRead);

    double oursWrite = Rate(2.0, [&](long i) {
        ini.SetIntValue(L"bench", wideKeys[i % kKeys].c_str(), static_cast<int>(i));
    });
    double peerWrite =
        Rate(2.0, [&](long i) { PeerWrite(peer, "bench", keys[i % kKeys], static_cast<int>(i)); });
    Report("write (SetIntValue, 200 keys)", oursWrite, peerWrite);
    std::printf(
        "(ours: parse per call, temp file + fdatasync + rename per write under flock;\n"
        " peer: std::ifstream parse, in-place std::ofstream rewrite, no sync, no lock)\n");

    if (ini.GetIntValue(L"bench", L"key000", -1) < 0 || sink == 42)
        std::printf("unexpected\n");
    std::error_code ec;
    fs::remove_all(dir, ec);
    return 0;
}
