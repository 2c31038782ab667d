// Arbitrary bytes into each handshake step. The first byte picks the step: the server's answer to
// a client hello, the client's check of a server hello, or the server's check of a finish. Keys are
// made once: each run starts from a copy of a handshake prepared at start-up, with a fixed access
// key instead of a derived one.
#include <cstdlib>
#include <filesystem>
#include <memory>

#include "CorvelKit/SecureChannel/SecureChannelError.h"
#include "CorvelKit/SecureChannel/SecureHandshake.h"
#include "CorvelKit/security/SecureIdentity.h"

using corvel::Bytes;
using corvel::ByteView;
using corvel::secure::SecureChannelError;
using corvel::secure::SecureHandshake;
using corvel::security::SecureIdentity;

namespace {

struct Prepared {
  std::filesystem::path home;
  std::unique_ptr<SecureIdentity> clientIdentity;
  std::unique_ptr<SecureIdentity> serverIdentity;
  std::unique_ptr<SecureHandshake> server;          // fresh
  std::unique_ptr<SecureHandshake> clientAwaiting;  // hello sent, waiting for the server hello
  std::unique_ptr<SecureHandshake> serverAwaiting;  // hello answered, waiting for the finish
};

Prepared* prepared = nullptr;

void removeHome() {
  std::error_code ec;
  if (prepared != nullptr) std::filesystem::remove_all(prepared->home, ec);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  prepared = new Prepared;
  // The identities' seeds go to a throw-away secret store, never the user's.
  std::string home = (std::filesystem::temp_directory_path() / "corvel-fuzz-XXXXXX").string();
  if (::mkdtemp(home.data()) == nullptr) std::abort();
  prepared->home = home;
  ::setenv("AMBREL_HOME", home.c_str(), 1);
  std::atexit(removeHome);

  const Bytes accessKey(32, 0x42);
  prepared->clientIdentity = std::make_unique<SecureIdentity>("com.pinebay.corvel.identity.fuzz.c");
  prepared->serverIdentity = std::make_unique<SecureIdentity>("com.pinebay.corvel.identity.fuzz.s");
  prepared->server = std::make_unique<SecureHandshake>(SecureHandshake::Role::server, accessKey,
                                                       *prepared->serverIdentity);
  prepared->clientAwaiting = std::make_unique<SecureHandshake>(SecureHandshake::Role::client,
                                                               accessKey, *prepared->clientIdentity);
  const Bytes hello = prepared->clientAwaiting->makeClientHello();
  prepared->serverAwaiting = std::make_unique<SecureHandshake>(*prepared->server);
  prepared->serverAwaiting->respond(hello);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const ByteView message(data + 1, size - 1);
  try {
    switch (data[0] % 3) {
      case 0: {
        SecureHandshake server(*prepared->server);
        server.respond(message);
        break;
      }
      case 1: {
        SecureHandshake client(*prepared->clientAwaiting);
        auto finished = client.finish(message);
        if (!finished.channel) std::abort();
        break;
      }
      default: {
        SecureHandshake server(*prepared->serverAwaiting);
        if (!server.complete(message)) std::abort();
        break;
      }
    }
  } catch (const SecureChannelError&) {
    // Refusing the input is the expected outcome; anything else escaping is a finding.
  }
  return 0;
}
