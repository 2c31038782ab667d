#include "CorvelKit/SecureChannel/SecureHandshake.h"

#include <exception>
#include <limits>
#include <stdexcept>

#include "CorvelKit/SecureChannel/SecureChannelError.h"
#include "CorvelKit/base/BigEndian.h"
#include "CorvelKit/security/Crypto.h"
#include "CorvelKit/security/MLDSA87.h"
#include "CorvelKit/security/RandomBytes.h"
#include "CorvelKit/security/SecureIdentity.h"

namespace corvel::secure {

namespace {

using security::MLDSA87;
using security::XWing;

constexpr std::size_t kSessionKeySize = 32;

[[noreturn]] void fail(SecureChannelErrc e) { throw SecureChannelError(e); }

}  // namespace

SecureHandshake::SecureHandshake(Role role, ByteView accessKey,
                                 const security::SecureIdentity& identity)
    : role_(role), accessKey_(accessKey), identity_(&identity) {}

SecureHandshake::~SecureHandshake() = default;

// Runs one step: refuses it out of turn, turns any error that is not already a SecureChannelError
// into `malformed`, and leaves the object refusing everything after a failure.
template <class F>
auto SecureHandshake::step(State expected, F&& body) {
  if (state_ != expected) {
    state_ = State::failed;
    serverEphemeral_.reset();
    fail(SecureChannelErrc::outOfOrder);
  }
  try {
    return body();
  } catch (const SecureChannelError&) {
    state_ = State::failed;
    serverEphemeral_.reset();
    throw;
  } catch (const std::exception&) {
    state_ = State::failed;
    serverEphemeral_.reset();
    fail(SecureChannelErrc::malformed);
  }
}

Bytes SecureHandshake::encodeFields(const std::vector<ByteView>& fields) {
  std::size_t total = 0;
  for (ByteView f : fields) total += 4 + f.size();
  Bytes out;
  out.reserve(total);
  ByteWriter writer(out);
  for (ByteView f : fields) {
    if (f.size() > std::numeric_limits<std::uint32_t>::max()) {
      throw std::length_error("handshake field too long");
    }
    writer.u32(static_cast<std::uint32_t>(f.size()));
    writer.bytes(f);
  }
  return out;
}

std::vector<ByteView> SecureHandshake::decodeFields(ByteView message, std::size_t expectedCount) {
  std::vector<ByteView> fields;
  ByteReader reader(message);
  while (!reader.atEnd()) {
    auto length = reader.u32();
    if (!length || *length > maxFieldLength) fail(SecureChannelErrc::malformed);
    auto field = reader.bytes(*length);
    if (!field) fail(SecureChannelErrc::malformed);
    // More fields than expected can only end in failure: stop reading at once.
    if (fields.size() == expectedCount) fail(SecureChannelErrc::malformed);
    fields.push_back(*field);
  }
  if (fields.size() != expectedCount) fail(SecureChannelErrc::malformed);
  return fields;
}

Bytes SecureHandshake::makeClientHello() {
  if (role_ != Role::client) fail(SecureChannelErrc::outOfOrder);
  return step(State::start, [&] {
    const Bytes nonce = security::randomBytes(nonceSize);
    const Bytes identityPublic = identity_->publicKey();
    Bytes hello = encodeFields({nonce, identityPublic});
    transcript_ = toBytes(transcriptLabel);
    append(transcript_, hello);
    state_ = State::helloSent;
    return hello;
  });
}

Bytes SecureHandshake::respond(ByteView clientHello) {
  if (role_ != Role::server) fail(SecureChannelErrc::outOfOrder);
  return step(State::start, [&] {
    auto fields = decodeFields(clientHello, 2);
    if (fields[1].size() != MLDSA87::publicKeySize) fail(SecureChannelErrc::malformed);
    clientIdentity_ = Bytes(fields[1].begin(), fields[1].end());
    peerIdentity_ = clientIdentity_;

    transcript_ = toBytes(transcriptLabel);
    append(transcript_, clientHello);

    serverEphemeral_ = XWing::PrivateKey::generate();
    const Bytes& ephemeralPublic = serverEphemeral_->publicKey();
    const Bytes identityPublic = identity_->publicKey();
    append(transcript_, ephemeralPublic);
    append(transcript_, identityPublic);
    const Bytes signature = identity_->sign(transcript_);
    append(transcript_, signature);
    state_ = State::answered;
    return encodeFields({ephemeralPublic, identityPublic, signature});
  });
}

SecureHandshake::Finished SecureHandshake::finish(ByteView serverHello) {
  if (role_ != Role::client) fail(SecureChannelErrc::outOfOrder);
  return step(State::helloSent, [&] {
    auto fields = decodeFields(serverHello, 3);
    const ByteView ephemeralPublic = fields[0];
    const ByteView hostIdentity = fields[1];
    const ByteView signature = fields[2];
    if (!XWing::isValidPublicKey(ephemeralPublic) || hostIdentity.size() != MLDSA87::publicKeySize) {
      fail(SecureChannelErrc::malformed);
    }
    append(transcript_, ephemeralPublic);
    append(transcript_, hostIdentity);
    if (!MLDSA87::verify(hostIdentity, transcript_, signature)) {
      fail(SecureChannelErrc::badSignature);
    }
    peerIdentity_ = Bytes(hostIdentity.begin(), hostIdentity.end());
    append(transcript_, signature);

    XWing::Encapsulation encapsulation = XWing::encapsulate(ephemeralPublic);
    append(transcript_, encapsulation.ciphertext);
    const Bytes clientSignature = identity_->sign(transcript_);
    append(transcript_, clientSignature);

    Finished result;
    result.channel = deriveChannel(encapsulation.sharedSecret);
    result.finishMessage = encodeFields({encapsulation.ciphertext, clientSignature});
    state_ = State::done;
    return result;
  });
}

std::unique_ptr<SecureMessageChannel> SecureHandshake::complete(ByteView finishMessage) {
  if (role_ != Role::server) fail(SecureChannelErrc::outOfOrder);
  // A finish that comes before any hello is out of order, whatever it holds.
  return step(State::answered, [&] {
    auto fields = decodeFields(finishMessage, 2);
    if (!clientIdentity_ || !serverEphemeral_) fail(SecureChannelErrc::outOfOrder);
    const ByteView ciphertext = fields[0];
    const ByteView clientSignature = fields[1];
    append(transcript_, ciphertext);
    if (!MLDSA87::verify(*clientIdentity_, transcript_, clientSignature)) {
      fail(SecureChannelErrc::badSignature);
    }
    append(transcript_, clientSignature);
    if (ciphertext.size() != XWing::ciphertextSize) fail(SecureChannelErrc::malformed);
    security::SecretBytes sharedSecret = serverEphemeral_->decapsulate(ciphertext);
    serverEphemeral_.reset();
    auto channel = deriveChannel(sharedSecret);
    state_ = State::done;
    return channel;
  });
}

std::unique_ptr<SecureMessageChannel> SecureHandshake::deriveChannel(ByteView sharedSecret) const {
  auto salt = security::crypto::sha512({accessKey_, transcript_});
  auto c2s = security::crypto::hkdfSha512(sharedSecret, salt, asBytes(clientToServerInfo),
                                          kSessionKeySize);
  auto s2c = security::crypto::hkdfSha512(sharedSecret, salt, asBytes(serverToClientInfo),
                                          kSessionKeySize);
  secureWipe(salt.data(), salt.size());
  if (role_ == Role::client) return std::make_unique<SecureMessageChannel>(c2s, s2c);
  return std::make_unique<SecureMessageChannel>(s2c, c2s);
}

}  // namespace corvel::secure
