#pragma once

#include <gio/gio.h>
#include <gtest/gtest.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "platform/gtk/CurlHttpClient.h"

namespace quillo::testing {

// The loopback review server (tools/ReviewServer.cpp) as a child process: started on a free port
// of 127.0.0.1 with the given flags, its accepted tokens handed over on standard input so that
// they appear on no command line and in no file, stopped with the object.
class ReviewServerProcess {
public:
    explicit ReviewServerProcess(const std::vector<std::string>& flags = {},
                                 const std::vector<std::string>& tokens = {}) {
        std::vector<const char*> argv{QUILLO_REVIEW_SERVER, "--port", "0", "--quiet",
                                      "--tokens",           "-"};
        for (const auto& flag : flags) argv.push_back(flag.c_str());
        argv.push_back(nullptr);
        process_ = g_subprocess_newv(
            argv.data(),
            GSubprocessFlags(G_SUBPROCESS_FLAGS_STDIN_PIPE | G_SUBPROCESS_FLAGS_STDOUT_PIPE),
            nullptr);
        if (!process_) {
            ADD_FAILURE() << "review server did not start";
            return;
        }
        std::string input;
        for (const auto& token : tokens) input += token + "\n";
        GOutputStream* in = g_subprocess_get_stdin_pipe(process_);
        g_output_stream_write_all(in, input.data(), input.size(), nullptr, nullptr, nullptr);
        g_output_stream_close(in, nullptr, nullptr);
        // The first line says where it listens; a server that fails ends its output instead.
        g_autoptr(GDataInputStream) out =
            g_data_input_stream_new(g_subprocess_get_stdout_pipe(process_));
        g_autofree gchar* line = g_data_input_stream_read_line(out, nullptr, nullptr, nullptr);
        const std::string prefix = "listening on http://127.0.0.1:";
        if (line && std::string(line).starts_with(prefix)) port_ = std::stoi(line + prefix.size());
        if (port_ == 0) ADD_FAILURE() << "review server did not report its port";
    }
    ~ReviewServerProcess() { stop(); }
    ReviewServerProcess(const ReviewServerProcess&) = delete;
    ReviewServerProcess& operator=(const ReviewServerProcess&) = delete;

    // "http://<host>:<port>" followed by the path.
    std::string url(const std::string& path = "", const std::string& host = "127.0.0.1") const {
        return "http://" + host + ":" + std::to_string(port_) + path;
    }
    // Every upload the server received, oldest first (the token is never among the fields).
    nlohmann::json received() const {
        auto list = nlohmann::json::parse(get("/received"), nullptr, false);
        return list.is_array() ? list : nlohmann::json::array();
    }
    // Lets the answers of a server started with --hold go, and every later one at once.
    void release() const { get("/release"); }
    // The server keeps nothing worth a graceful end.
    void stop() {
        if (!process_) return;
        g_subprocess_force_exit(process_);
        g_subprocess_wait(process_, nullptr, nullptr);
        g_clear_object(&process_);
    }

private:
    std::string get(const std::string& path) const {
        HttpRequest request;
        request.url = url(path);
        request.timeout = std::chrono::seconds(10);
        return gtk::CurlHttpClient::perform(request).body;
    }

    GSubprocess* process_ = nullptr;
    int port_ = 0;
};

}  // namespace quillo::testing
