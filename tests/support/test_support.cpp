#include "tests/support/test_support.hpp"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>

namespace qv::test {

temp_dir::temp_dir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "quorvane-test-XXXXXX").string();
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

temp_dir::~temp_dir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

bool have_tool(const std::string& name) {
    std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
    path += ":/sbin:/usr/sbin:/usr/local/sbin";
    size_t start = 0;
    while (start <= path.size()) {
        size_t colon = path.find(':', start);
        std::string dir = path.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
        if (!dir.empty() && access((dir + "/" + name).c_str(), X_OK) == 0) return true;
        if (colon == std::string::npos) break;
        start = colon + 1;
    }
    return false;
}

std::string shell_quote(const std::string& s) {
    std::string out = "'";
    for (char c : s) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
}

int run(const std::string& command, std::string* output) {
    std::string full = "PATH=\"$PATH:/sbin:/usr/sbin\"; export PATH; (" + command + ") 2>&1";
    FILE* p = popen(full.c_str(), "r");
    if (!p) return -1;
    char buf[4096];
    size_t n;
    std::string out;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    int status = pclose(p);
    if (output) *output = out;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<uint8_t> read_file(const std::string& path) {
    // One read of the whole file: disk images of hundreds of MiB are read
    // several times per test, far too slowly a character at a time under the
    // sanitizers. Files without a size (pipes, /proc) are read as a stream.
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) return {};
    const std::streamoff size = in.tellg();
    if (size <= 0) {
        in.clear();
        in.seekg(0);
        return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
    }
    std::vector<uint8_t> out(static_cast<size_t>(size));
    in.seekg(0);
    in.read(reinterpret_cast<char*>(out.data()), std::streamsize(out.size()));
    out.resize(static_cast<size_t>(in.gcount()));
    return out;
}

void write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

std::vector<uint8_t> pseudo_random_bytes(size_t size, uint32_t seed) {
    std::mt19937 gen(seed);
    std::vector<uint8_t> out(size);
    for (auto& b : out) b = uint8_t(gen());
    return out;
}

loop_device::~loop_device() {
    if (!path_.empty()) run("losetup -d " + shell_quote(path_));
}

bool loop_device::attach(const std::string& image, bool scan_partitions, std::string* why) {
    if (geteuid() != 0) {
        if (why) *why = "loop devices need root";
        return false;
    }
    if (!have_tool("losetup")) {
        if (why) *why = "losetup is not installed";
        return false;
    }
    std::string out;
    int rc = run(std::string("losetup -f --show ") + (scan_partitions ? "-P " : "") + shell_quote(image), &out);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    if (rc != 0 || out.rfind("/dev/loop", 0) != 0) {
        if (why) *why = "losetup failed: " + out;
        return false;
    }
    path_ = out;
    return true;
}

}  // namespace qv::test
