#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace corvel::test {

// A small HTTP/1.1 server on 127.0.0.1 for tests of code that fetches from the web: it answers
// GET requests by path with set answers (404 for any other path), one request per connection.
// With TLS it makes a throwaway self-signed certificate for "localhost" and 127.0.0.1, written to
// `certificateFile()` for clients that should trust it. A silent server accepts connections and
// never answers (for time-outs).
class LocalWebServer {
 public:
  enum class Mode { plain, tls, silent };

  explicit LocalWebServer(Mode mode = Mode::plain);
  ~LocalWebServer();
  LocalWebServer(const LocalWebServer&) = delete;
  LocalWebServer& operator=(const LocalWebServer&) = delete;

  void answer(const std::string& path, int status, std::string body,
              std::string contentType = "application/json");

  std::uint16_t port() const { return port_; }
  // "http://127.0.0.1:PORT" + path, or "https://localhost:PORT" + path with TLS.
  std::string url(const std::string& path) const;
  const std::filesystem::path& certificateFile() const { return certificateFile_; }
  int requestCount() const { return requests_.load(); }

 private:
  struct Tls;
  struct Answer {
    int status;
    std::string body;
    std::string contentType;
  };
  void serve();
  void handle(int fd);
  std::string reply(const std::string& head);

  Mode mode_;
  int listener_ = -1;
  std::uint16_t port_ = 0;
  std::filesystem::path certificateFile_;
  std::unique_ptr<Tls> tls_;
  std::mutex mutex_;
  std::map<std::string, Answer> answers_;
  std::vector<int> held_;  // silent connections, closed at the end
  std::atomic<int> requests_{0};
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

}  // namespace corvel::test
