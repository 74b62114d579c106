// Test helper: runs a UsbWatch on its own thread and records what it reports,
// as "+id" for an arrival and "-id" for a removal, in order.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/usbwatch.h"

namespace watchtest {

// Generous: only a broken watch ever waits this long.
inline constexpr std::chrono::seconds kPatience{10};

class WatchRunner {
public:
    WatchRunner(uint16_t vendorId, uint16_t productId)
        : watch_(
              vendorId, productId, [this](const platform::UsbDevice& d) { record('+', d); },
              [this](const platform::UsbDevice& d) { record('-', d); }) {}

    ~WatchRunner() { stop(); }

    // Records "=" where the watch says the devices present at start are all
    // reported. Call before start().
    void markPresentReported() {
        watch_.setOnPresentReported([this] {
            std::lock_guard<std::mutex> lock(mutex_);
            events_.push_back("=");
            changed_.notify_all();
        });
    }

    void start() {
        thread_ = std::thread([this] {
            std::string error;
            bool ok = watch_.run(&error);
            std::lock_guard<std::mutex> lock(mutex_);
            result_ = ok;
            error_ = error;
            changed_.notify_all();
        });
        runThread_ = thread_.get_id();
    }

    // Asks run() to return, without waiting (see waitForReturn).
    void requestStop() { watch_.stop(); }

    // Stops the watch and waits for run() to return; returns run()'s result.
    bool stop() {
        watch_.stop();
        if (thread_.joinable()) thread_.join();
        std::lock_guard<std::mutex> lock(mutex_);
        return result_.value_or(false);
    }

    // The first `count` events, or what came before the patience ran out.
    std::vector<std::string> waitForEvents(size_t count) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_for(lock, kPatience, [&] { return events_.size() >= count || result_.has_value(); });
        return events_;
    }

    // run()'s result once it has returned by itself (nothing after the patience).
    std::optional<bool> waitForReturn(std::string* error) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_for(lock, kPatience, [&] { return result_.has_value(); });
        if (error) *error = error_;
        return result_;
    }

    std::vector<std::string> events() {
        std::lock_guard<std::mutex> lock(mutex_);
        return events_;
    }
    std::vector<platform::UsbDevice> devices() {
        std::lock_guard<std::mutex> lock(mutex_);
        return devices_;
    }

    std::thread::id callbackThread() {
        std::lock_guard<std::mutex> lock(mutex_);
        return callbackThread_;
    }
    std::thread::id runThread() const { return runThread_; }

private:
    void record(char kind, const platform::UsbDevice& d) {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.push_back(kind + d.id);
        devices_.push_back(d);
        callbackThread_ = std::this_thread::get_id();
        changed_.notify_all();
    }

    platform::UsbWatch watch_;
    std::thread thread_;
    std::thread::id runThread_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> events_;
    std::vector<platform::UsbDevice> devices_;
    std::thread::id callbackThread_;
    std::optional<bool> result_;
    std::string error_;
};

}  // namespace watchtest
