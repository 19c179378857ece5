// Helpers of the online tests: an owner that queues the download messages,
// and the temporary directory that is also the process's TMPDIR.
#pragma once

#include "online/messages.h"
#include "tests/helpers/temp_dir.h"

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

struct Message {
    uint32_t id;
    uintptr_t w;
    intptr_t l;
};

class QueueOwner : public DownloadOwner {
  public:
    void post(uint32_t message, uintptr_t wParam, intptr_t lParam) override {
        std::lock_guard<std::mutex> g(lock_);
        messages_.push_back({message, wParam, lParam});
        cv_.notify_all();
    }
    // Waits for the next end message (up to 30 s); false when none came.
    bool wait_finished(Message* out = nullptr) {
        std::unique_lock<std::mutex> l(lock_);
        bool ok = cv_.wait_for(l, std::chrono::seconds(30), [this] {
            for (size_t i = seen_; i < messages_.size(); ++i)
                if (messages_[i].id == UWM_DOWNLOAD_FINISHED)
                    return true;
            return false;
        });
        if (!ok)
            return false;
        for (; seen_ < messages_.size(); ++seen_)
            if (messages_[seen_].id == UWM_DOWNLOAD_FINISHED) {
                if (out)
                    *out = messages_[seen_];
                ++seen_;
                break;
            }
        return true;
    }
    // Waits until a message with id has come (up to 30 s).
    bool wait_for(uint32_t id) {
        std::unique_lock<std::mutex> l(lock_);
        return cv_.wait_for(l, std::chrono::seconds(30), [&] {
            for (const Message& m : messages_)
                if (m.id == id)
                    return true;
            return false;
        });
    }
    void reset() {
        std::lock_guard<std::mutex> g(lock_);
        messages_.clear();
        seen_ = 0;
    }
    std::vector<Message> all() {
        std::lock_guard<std::mutex> g(lock_);
        return messages_;
    }
    std::vector<Message> of(uint32_t id) {
        std::vector<Message> out;
        for (const Message& m : all())
            if (m.id == id)
                out.push_back(m);
        return out;
    }

  private:
    std::mutex lock_;
    std::condition_variable cv_;
    std::vector<Message> messages_;
    size_t seen_ = 0;
};

inline std::u16string w(const std::string& s) {
    return std::u16string(s.begin(), s.end());
}

inline bool file_exists(const std::string& path) {
    return std::filesystem::exists(path);
}

inline std::string read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

inline void write_file(const std::string& path, const std::string& content) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << content;
}
