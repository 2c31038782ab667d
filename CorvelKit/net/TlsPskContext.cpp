#include "CorvelKit/net/TlsPskContext.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <array>
#include <cstring>
#include <mutex>
#include <stdexcept>

#include <boost/asio/ssl/error.hpp>

namespace corvel::net {

namespace {

using Key = std::array<unsigned char, 32>;

void freeKey(void*, void* ptr, CRYPTO_EX_DATA*, int, long, void*) {
  if (ptr != nullptr) {
    OPENSSL_cleanse(ptr, sizeof(Key));
    delete static_cast<Key*>(ptr);
  }
}

int keyIndex() {
  static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, freeKey);
  return index;
}

const Key* keyOf(SSL* ssl) {
  return static_cast<const Key*>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), keyIndex()));
}

unsigned int clientCallback(SSL* ssl, const char*, char* identity, unsigned int maxIdentityLength,
                            unsigned char* psk, unsigned int maxPskLength) {
  const Key* key = keyOf(ssl);
  auto idLength = std::strlen(kPskIdentity);
  if (key == nullptr || maxIdentityLength < idLength + 1 || maxPskLength < key->size()) return 0;
  std::memcpy(identity, kPskIdentity, idLength + 1);
  std::memcpy(psk, key->data(), key->size());
  return static_cast<unsigned int>(key->size());
}

unsigned int serverCallback(SSL* ssl, const char* identity, unsigned char* psk,
                            unsigned int maxPskLength) {
  const Key* key = keyOf(ssl);
  if (key == nullptr || identity == nullptr || std::strcmp(identity, kPskIdentity) != 0 ||
      maxPskLength < key->size()) {
    return 0;
  }
  std::memcpy(psk, key->data(), key->size());
  return static_cast<unsigned int>(key->size());
}

}  // namespace

boost::asio::ssl::context makeTlsPskContext(TlsRole role, ByteView accessKey) {
  namespace ssl = boost::asio::ssl;
  ssl::context ctx(role == TlsRole::client ? ssl::context::tls_client : ssl::context::tls_server);
  SSL_CTX* native = ctx.native_handle();
  if (accessKey.size() != sizeof(Key)) throw std::invalid_argument("access key must be 32 bytes");

  SSL_CTX_set_min_proto_version(native, TLS1_2_VERSION);
  SSL_CTX_set_max_proto_version(native, TLS1_2_VERSION);
  if (SSL_CTX_set_cipher_list(native, "PSK-AES128-GCM-SHA256") != 1) {
    throw std::runtime_error("TLS library lacks PSK-AES128-GCM-SHA256");
  }
  SSL_CTX_set_options(native, SSL_OP_NO_TICKET | SSL_OP_NO_RENEGOTIATION |
                                  SSL_OP_NO_SESSION_RESUMPTION_ON_RENEGOTIATION);
  SSL_CTX_set_session_cache_mode(native, SSL_SESS_CACHE_OFF);

  auto* key = new Key;
  std::memcpy(key->data(), accessKey.data(), key->size());
  SSL_CTX_set_ex_data(native, keyIndex(), key);
  if (role == TlsRole::client) {
    SSL_CTX_set_psk_client_callback(native, clientCallback);
  } else {
    SSL_CTX_set_psk_server_callback(native, serverCallback);
  }
  return ctx;
}

std::shared_ptr<boost::asio::ssl::context> sharedTlsPskContext(TlsRole role, ByteView accessKey) {
  struct Cache {
    std::mutex mutex;
    std::array<std::shared_ptr<boost::asio::ssl::context>, 2> latest;  // client, server
  };
  // Never destroyed: contexts must not be freed after the TLS library's own clean-up at exit.
  static auto* cache = new Cache;
  const auto slot = role == TlsRole::client ? 0u : 1u;
  {
    std::lock_guard lock(cache->mutex);
    const auto& held = cache->latest[slot];
    if (held) {
      const Key* key = static_cast<const Key*>(SSL_CTX_get_ex_data(held->native_handle(), keyIndex()));
      if (key != nullptr && accessKey.size() == key->size() &&
          CRYPTO_memcmp(key->data(), accessKey.data(), key->size()) == 0) {
        return held;
      }
    }
  }
  // Made outside the lock: it is the slow part.
  auto made = std::make_shared<boost::asio::ssl::context>(makeTlsPskContext(role, accessKey));
  std::lock_guard lock(cache->mutex);
  cache->latest[slot] = made;
  return made;
}

bool isTlsError(const boost::system::error_code& ec) {
  // Errors of the TLS library itself (alerts, failed record checks). A peer that hangs up mid-way
  // shows as a truncated stream instead, which is the network's doing, not a wrong key.
  return ec.category() == boost::asio::error::get_ssl_category();
}

}  // namespace corvel::net
