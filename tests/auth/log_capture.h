// Collects the log lines written while it lives (into an anonymous file).
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "runtime/log.h"

namespace fenra::testutil {

class LogCapture {
  public:
    LogCapture() : fd_(::memfd_create("log", 0)) { log::set_output_fd(fd_); }
    ~LogCapture() {
        log::set_output_fd(2);
        ::close(fd_);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // The lines so far, each without its timestamp (from the level word on).
    std::vector<std::string> lines() const {
        std::string all;
        char buf[4096];
        for (off_t off = 0;;) {
            const ssize_t n = ::pread(fd_, buf, sizeof buf, off);
            if (n <= 0) break;
            all.append(buf, static_cast<size_t>(n));
            off += n;
        }
        std::vector<std::string> out;
        size_t start = 0;
        while (start < all.size()) {
            size_t end = all.find('\n', start);
            if (end == std::string::npos) end = all.size();
            const std::string line = all.substr(start, end - start);
            const size_t blank = line.find(' ');
            out.push_back(blank == std::string::npos ? line : line.substr(blank + 1));
            start = end + 1;
        }
        return out;
    }

    bool contains(const std::string& line) const {
        for (const auto& l : lines())
            if (l == line) return true;
        return false;
    }

    std::string text() const {
        std::string all;
        for (const auto& l : lines())
            all += l + "\n";
        return all;
    }

  private:
    int fd_;
};

}  // namespace fenra::testutil
