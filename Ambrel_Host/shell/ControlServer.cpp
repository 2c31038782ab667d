#include "Ambrel_Host/shell/ControlServer.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/asio/write.hpp>
#include <nlohmann/json.hpp>

#include "CorvelKit/base/Log.h"
#include "CorvelKit/base/Paths.h"
#include "CorvelKit/base/PrivateFolder.h"

namespace ambrel {

namespace {
namespace asio = boost::asio;
using local = asio::local::stream_protocol;

auto& log() { return corvel::Log::host("app"); }

constexpr auto kRequestTimeout = std::chrono::seconds(10);

std::string encodeReply(const ControlReply& reply) {
  return nlohmann::json{{"status", reply.status}, {"output", reply.output}}.dump() + "\n";
}

// Only the host's own user (or root) may talk to it; a command answers only to the user's own
// host (or root's).
bool peerAllowed(local::socket& socket) {
  ucred cred{};
  socklen_t len = sizeof cred;
  if (::getsockopt(socket.native_handle(), SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) return false;
  return cred.uid == ::getuid() || cred.uid == 0;
}

class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(local::socket socket, ControlServer::Handler handler)
      : socket_(std::move(socket)),
        timer_(socket_.get_executor()),
        buffer_(ControlServer::maxRequestBytes),
        handler_(std::move(handler)) {}

  void start() {
    auto self = shared_from_this();
    timer_.expires_after(kRequestTimeout);
    timer_.async_wait([self](const boost::system::error_code& ec) {
      if (!ec) self->socket_.close();
    });
    asio::async_read_until(socket_, buffer_, '\n',
                           [self](const boost::system::error_code& ec, std::size_t n) {
                             self->timer_.cancel();
                             if (ec == asio::error::not_found) {
                               self->reply({ControlCommands::usageError, "Request too long.\n"});
                               return;
                             }
                             if (ec) return;  // closed early or timed out: nobody to answer
                             self->handle(n);
                           });
  }

 private:
  void handle(std::size_t n) {
    std::string line(asio::buffers_begin(buffer_.data()),
                     asio::buffers_begin(buffer_.data()) + static_cast<std::ptrdiff_t>(n));
    auto request = nlohmann::json::parse(line, nullptr, false);
    std::vector<std::string> args;
    bool ok = request.is_array();
    if (ok) {
      for (const auto& a : request) {
        if (!a.is_string()) {
          ok = false;
          break;
        }
        args.push_back(a.get<std::string>());
      }
    }
    if (!ok) {
      reply({ControlCommands::usageError, "Malformed request.\n"});
      return;
    }
    reply(handler_(args));
  }

  void reply(const ControlReply& answer) {
    auto self = shared_from_this();
    auto text = std::make_shared<std::string>(encodeReply(answer));
    asio::async_write(socket_, asio::buffer(*text),
                      [self, text](const boost::system::error_code&, std::size_t) {
                        boost::system::error_code ignored;
                        self->socket_.close(ignored);
                      });
  }

  local::socket socket_;
  asio::steady_timer timer_;
  asio::streambuf buffer_;
  ControlServer::Handler handler_;
};

}  // namespace

struct ControlServer::State {
  State(corvel::Executor ex, std::filesystem::path p, Handler h)
      : acceptor(ex), path(std::move(p)), handler(std::move(h)) {}
  local::acceptor acceptor;
  std::filesystem::path path;
  Handler handler;
  bool stopped = false;

  void acceptNext(const std::shared_ptr<State>& self) {
    acceptor.async_accept([self](const boost::system::error_code& ec, local::socket socket) {
      if (self->stopped) return;
      if (!ec) {
        if (peerAllowed(socket)) {
          std::make_shared<Session>(std::move(socket), self->handler)->start();
        } else {
          log().warn("refused a control connection from another user");
        }
      } else if (ec == asio::error::operation_aborted) {
        return;
      }
      self->acceptNext(self);
    });
  }
};

ControlServer::ControlServer(corvel::Executor executor, std::filesystem::path socketPath,
                             Handler handler)
    : state_(std::make_shared<State>(std::move(executor), std::move(socketPath), std::move(handler))) {}

ControlServer::~ControlServer() { stop(); }

std::filesystem::path ControlServer::defaultPath() {
  return corvel::Paths::runtimeFolder() / "control.sock";
}

std::error_code ControlServer::start() {
  auto& path = state_->path;
  std::error_code ec;
  // Someone else's folder, or one others may enter, is not ours to put the socket in.
  if (auto refused = corvel::PrivateFolder::ensure(path.parent_path())) return refused;

  // A socket left by a host that ended without cleaning up is replaced; a live one is not.
  if (std::filesystem::exists(path, ec)) {
    asio::io_context probe;
    local::socket s(probe);
    boost::system::error_code connectError;
    s.connect(local::endpoint(path.string()), connectError);
    if (!connectError) return std::make_error_code(std::errc::address_in_use);
    std::filesystem::remove(path, ec);
  }

  boost::system::error_code bec;
  auto& acceptor = state_->acceptor;
  acceptor.open(local(), bec);
  // The socket file is created with this process's umask: make it private from the start.
  mode_t old = ::umask(0177);
  if (!bec) acceptor.bind(local::endpoint(path.string()), bec);
  ::umask(old);
  if (!bec) acceptor.listen(asio::socket_base::max_listen_connections, bec);
  if (bec) {
    boost::system::error_code ignored;
    acceptor.close(ignored);
    return bec;
  }
  ::chmod(path.c_str(), 0600);
  state_->acceptNext(state_);
  return {};
}

void ControlServer::stop() {
  if (!state_ || state_->stopped) return;
  state_->stopped = true;
  boost::system::error_code ignored;
  if (state_->acceptor.is_open()) {
    state_->acceptor.close(ignored);
    std::error_code ec;
    std::filesystem::remove(state_->path, ec);
  }
}

std::error_code ControlClient::send(const std::filesystem::path& socketPath,
                                    const std::vector<std::string>& args, ControlReply& reply) {
  asio::io_context io;
  local::socket socket(io);
  boost::system::error_code ec;
  socket.connect(local::endpoint(socketPath.string()), ec);
  if (ec) return ec;
  if (!peerAllowed(socket)) return std::make_error_code(std::errc::permission_denied);
  auto request = nlohmann::json(args).dump() + "\n";
  asio::write(socket, asio::buffer(request), ec);
  if (ec) return ec;
  std::string answer;
  asio::read(socket, asio::dynamic_buffer(answer), ec);
  if (ec && ec != asio::error::eof) return ec;
  auto parsed = nlohmann::json::parse(answer, nullptr, false);
  if (!parsed.is_object() || !parsed.contains("status") || !parsed.contains("output") ||
      !parsed["status"].is_number_integer() || !parsed["output"].is_string()) {
    return std::make_error_code(std::errc::bad_message);
  }
  reply.status = parsed["status"].get<int>();
  reply.output = parsed["output"].get<std::string>();
  return {};
}

}  // namespace ambrel
