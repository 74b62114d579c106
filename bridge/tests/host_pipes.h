// A native messaging host program as a browser runs it: a child process
// with pipes for standard input and output, and the browsers' frames.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <vector>

#include "bridge/host/codec.h"

extern char** environ;

namespace bridgetest {

inline std::string frame(const std::string& body, uint32_t length) {
    std::string bytes(4, '\0');
    std::memcpy(bytes.data(), &length, 4);
    return bytes + body;
}
inline std::string frame(const std::string& body) { return frame(body, static_cast<uint32_t>(body.size())); }

class Host {
public:
    Host(const std::string& program, std::vector<std::string> args) {
        int in[2], out[2], err[2];
        // Close-on-exec: a host started by another thread at the same time
        // must not inherit these, or neither host would see its input end.
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]})
            posix_spawn_file_actions_addclose(&actions, fd);
        args.insert(args.begin(), program);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ) != 0)
            throw std::runtime_error("spawn");
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        ::close(out[1]);
        ::close(err[1]);
        in_ = in[1];
        out_ = out[0];
        err_ = err[0];
        ::signal(SIGPIPE, SIG_IGN);
    }
    ~Host() {
        closeInput();
        if (pid_ > 0) finish();
        ::close(out_);
        ::close(err_);
    }

    void send(const std::string& bytes) {
        for (size_t at = 0; at < bytes.size();) {
            const ssize_t n = ::write(in_, bytes.data() + at, bytes.size() - at);
            if (n <= 0) throw std::runtime_error("the host stopped reading");
            at += static_cast<size_t>(n);
        }
    }
    // The next frame on its standard output, parsed; anything that is not a frame fails the test.
    nlohmann::json reply() {
        bridge::FrameReader reader(out_);
        const bridge::Frame f = reader.next();
        if (f.kind != bridge::Frame::Kind::Message) return nlohmann::json("no frame");
        return nlohmann::json::parse(f.body, nullptr, false);
    }
    nlohmann::json ask(const nlohmann::json& request) {
        send(frame(request.dump()));
        return reply();
    }
    void closeInput() {
        if (in_ >= 0) ::close(in_);
        in_ = -1;
    }
    // Exit status (or 128 + signal); the rest of its output and its
    // diagnostics. `closing`: the browser closes the pipe first, else the
    // host must end by itself.
    int finish(bool closing = true) {
        if (closing) closeInput();
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        char buffer[4096];
        ssize_t n;
        while ((n = ::read(out_, buffer, sizeof buffer)) > 0) rest_.append(buffer, n);
        while ((n = ::read(err_, buffer, sizeof buffer)) > 0) errors_.append(buffer, n);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    const std::string& rest() const { return rest_; }
    pid_t pid() const { return pid_; }
    const std::string& errors() const { return errors_; }

private:
    pid_t pid_ = -1;
    int in_ = -1, out_ = -1, err_ = -1;
    std::string rest_, errors_;
};

}  // namespace bridgetest
