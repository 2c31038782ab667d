#include "tests/support/LocalWebServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

namespace corvel::test {

struct LocalWebServer::Tls {
  SSL_CTX* context = nullptr;
  ~Tls() { SSL_CTX_free(context); }
};

namespace {

void addExtension(X509* cert, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
  if (ext == nullptr) throw std::runtime_error("certificate extension");
  X509_add_ext(cert, ext, -1);
  X509_EXTENSION_free(ext);
}

}  // namespace

LocalWebServer::LocalWebServer(Mode mode) : mode_(mode) {
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener_, 16) != 0 ||
      ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw std::runtime_error("test web server: no listening socket");
  }
  port_ = ntohs(address.sin_port);

  if (mode_ == Mode::tls) {
    tls_ = std::make_unique<Tls>();
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* cert = X509_new();
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert), 24 * 3600);
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
    X509_set_issuer_name(cert, name);
    X509_set_pubkey(cert, key);
    addExtension(cert, NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1");
    addExtension(cert, NID_basic_constraints, "critical,CA:TRUE");
    X509_sign(cert, key, EVP_sha256());

    char pattern[] = "/tmp/corvel-test-cert-XXXXXX";
    const int fd = ::mkstemp(pattern);
    certificateFile_ = pattern;
    FILE* out = ::fdopen(fd, "w");
    PEM_write_X509(out, cert);
    std::fclose(out);

    tls_->context = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate(tls_->context, cert);
    SSL_CTX_use_PrivateKey(tls_->context, key);
    X509_free(cert);
    EVP_PKEY_free(key);
  }
  thread_ = std::thread([this] { serve(); });
}

LocalWebServer::~LocalWebServer() {
  stopping_ = true;
  ::shutdown(listener_, SHUT_RDWR);
  thread_.join();
  ::close(listener_);
  for (int fd : held_) ::close(fd);
  if (!certificateFile_.empty()) {
    std::error_code ec;
    std::filesystem::remove(certificateFile_, ec);
  }
}

void LocalWebServer::answer(const std::string& path, int status, std::string body, std::string contentType) {
  std::lock_guard lock(mutex_);
  answers_[path] = Answer{status, std::move(body), std::move(contentType)};
}

std::string LocalWebServer::url(const std::string& path) const {
  if (mode_ == Mode::tls) return "https://localhost:" + std::to_string(port_) + path;
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void LocalWebServer::serve() {
  while (!stopping_) {
    pollfd p{listener_, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    ++requests_;
    if (mode_ == Mode::silent) {
      held_.push_back(fd);
      continue;
    }
    handle(fd);
    ::close(fd);
  }
}

std::string LocalWebServer::reply(const std::string& head) {
  // "GET /path HTTP/1.1"
  const auto first = head.find(' ');
  const auto second = head.find(' ', first + 1);
  std::string path = first == std::string::npos ? "" : head.substr(first + 1, second - first - 1);
  Answer a{404, "not found", "text/plain"};
  {
    std::lock_guard lock(mutex_);
    if (auto it = answers_.find(path); it != answers_.end()) a = it->second;
  }
  return "HTTP/1.1 " + std::to_string(a.status) + (a.status == 200 ? " OK" : " Not Found") +
         "\r\nContent-Type: " + a.contentType + "\r\nContent-Length: " + std::to_string(a.body.size()) +
         "\r\nConnection: close\r\n\r\n" + a.body;
}

void LocalWebServer::handle(int fd) {
  timeval limit{5, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  SSL* ssl = nullptr;
  if (tls_) {
    ssl = SSL_new(tls_->context);
    SSL_set_fd(ssl, fd);
    if (SSL_accept(ssl) != 1) {  // a client that doesn't trust us gives up here
      SSL_free(ssl);
      return;
    }
  }
  std::string head;
  char buffer[4096];
  while (head.find("\r\n\r\n") == std::string::npos && head.size() < 65536) {
    const int n = ssl ? SSL_read(ssl, buffer, sizeof buffer)
                      : static_cast<int>(::read(fd, buffer, sizeof buffer));
    if (n <= 0) break;
    head.append(buffer, static_cast<std::size_t>(n));
  }
  const auto out = reply(head);
  if (ssl) {
    SSL_write(ssl, out.data(), static_cast<int>(out.size()));
    SSL_shutdown(ssl);
    SSL_free(ssl);
  } else {
    std::size_t sent = 0;
    while (sent < out.size()) {
      const auto n = ::write(fd, out.data() + sent, out.size() - sent);
      if (n <= 0) break;
      sent += static_cast<std::size_t>(n);
    }
  }
}

}  // namespace corvel::test
