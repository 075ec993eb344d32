#include "peer_basics.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <fstream>
#include <stdexcept>

namespace e2e {

Duration scaled(Duration timeout) {
    static const int scale = [] {
        const char *s = getenv("E2E_TIMEOUT_SCALE");
        int n = s ? atoi(s) : 1;
        return n > 0 ? n : 1;
    }();
    return timeout * scale;
}

int count(const std::string &text, const std::string &needle) {
    int n = 0;
    for (size_t at = text.find(needle); at != std::string::npos;
         at = text.find(needle, at + needle.size()))
        n++;
    return n;
}

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> lines;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    return lines;
}

std::string login_payload(const std::string &id) {
    std::string text = "{\"ID\":\"" + id + "\",\"login\":\"test\",\"pass\":\"vmzq\"}";
    text.resize(55, '\0');
    return text;
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void write_file(const std::string &path, const std::string &content, mode_t mode) {
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        if (!out)
            throw std::runtime_error("open " + path + ": " + strerror(errno));
        out << content;
        if (!out)
            throw std::runtime_error("write " + path + ": " + strerror(errno));
    }
    chmod(path.c_str(), mode);
}

void copy_file(const std::string &from, const std::string &to, mode_t mode) {
    std::ifstream probe(from, std::ios::binary);
    if (!probe)
        throw std::runtime_error("open " + from + ": " + strerror(errno));
    write_file(to, read_file(from), mode);
}

} // namespace e2e
