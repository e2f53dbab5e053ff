// Sessions over TLS and IPv6 with a real IRC server: which ones start, and
// what the daemon says about the ones that cannot.
#include "e2e/scripted_peers.h"
#include "e2e/servers.h"
#include "support/tls_peer.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <optional>

namespace quayside::e2e {
namespace {

constexpr char kChannel[] = "#chat";

// "ab:cd:...", or "AB:CD:..." as a user copies it from another program.
std::string withColons(const std::string& hex, bool upper) {
  std::string text;
  for (std::size_t i = 0; i < hex.size(); ++i) {
    text += i > 0 && i % 2 == 0 ? ":" : "";
    const auto digit = static_cast<unsigned char>(hex[i]);
    text += static_cast<char>(upper ? std::toupper(digit) : digit);
  }
  return text;
}

// A line from `nick` at whatever host (over IPv6 the server shows "[0::1]").
Outcome lineFrom(IrcUser& user, const std::string& nick, const std::string& rest) {
  return user.waitFor(
      [&](const std::string& line) {
        return line.starts_with(":" + nick + "!") && line.ends_with(" " + rest + "\r\n");
      },
      nick + "'s " + rest);
}

// One ngircd with a plain port on 127.0.0.1 and ::1 and a TLS port whose
// certificate an authority made at test time signed for "localhost" only.
class TlsSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (IrcServer::programPath().empty()) {
      const char* required = std::getenv("QUAYSIDE_REQUIRE_NGIRCD");
      if (required != nullptr && std::string_view(required) == "1") {
        FAIL() << "ngircd is not installed (QUAYSIDE_REQUIRE_NGIRCD=1 demands it)";
      }
      GTEST_SKIP() << "ngircd is not installed: apt-get install ngircd to run this test";
    }
    const testing::TestCertificate authority = testing::makeAuthority();
    certificate_ = testing::makeServerCertificate({"localhost"}, {}, &authority);
    std::ofstream(directory_.file("ca.pem")) << authority.certificatePem;
    std::ofstream(directory_.file("server.pem")) << certificate_.certificatePem;
    std::ofstream(directory_.file("server.key")) << certificate_.keyPem;
    std::ofstream(directory_.file("empty.pem")) << "";
    IrcServerOptions options;
    options.ipv6 = true;
    options.certificateFile = directory_.file("server.pem");
    options.keyFile = directory_.file("server.key");
    server_ = std::make_unique<IrcServer>(600, options);
    ASSERT_TRUE(server_->started()) << "ngircd did not start:\n" << server_->startupLog();
  }

  void TearDown() override {
    if (daemon_) {
      checkDaemonAfterTest(*daemon_);
    }
  }

  // A daemon whose trust store is the test's authority, or holds nothing;
  // one Bridge from a free port to `serverText`, with `options` if any.
  std::uint16_t startDaemon(const std::string& serverText, bool trustAuthority,
                            const std::string& options = "") {
    const std::uint16_t port = testing::freePort();
    const std::string trustStore = directory_.file(trustAuthority ? "ca.pem" : "empty.pem");
    daemon_ = std::make_unique<Daemon>(
        std::vector<std::string>{
            "--bridge", std::to_string(port) + "=" + serverText + "/" + kChannel + options},
        std::map<std::string, std::string>{{"SSL_CERT_FILE", trustStore},
                                           {"SSL_CERT_DIR", directory_.path()}});
    EXPECT_TRUE(daemon_->waitListening(port));
    return port;
  }

  testing::TempDirectory directory_;
  testing::TestCertificate certificate_;
  std::unique_ptr<IrcServer> server_;
  std::unique_ptr<Daemon> daemon_;
};

TEST_F(TlsSessionTest, SessionsStartOverTlsAndIpv6AndCarryChat) {
  const std::string tls = std::to_string(server_->tlsPort());
  const std::string plain = std::to_string(server_->port());
  const struct {
    const char* name;
    std::string serverText;
    bool trustAuthority;
    std::string options;
    std::string connectedTo;  // as the daemon's log shows the address
  } cases[] = {
      {"TrustedThroughTheAuthority", "IRCS://localhost:" + tls, true, "",
       "(127.0.0.1:" + tls + ")"},
      {"PinnedWithoutTheAuthority", "ircs://localhost:" + tls, false,
       ",fingerprint=" + withColons(certificate_.fingerprint, true), "(127.0.0.1:" + tls + ")"},
      {"PlainOverIpv6", "irc://[::1]:" + plain, false, "", "([::1]:" + plain + ")"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.trustAuthority && !Daemon::trustStoreFollowsEnvironment()) {
      continue;
    }
    const std::uint16_t port = startDaemon(c.serverText, c.trustAuthority, c.options);
    IrcUser alice("alice");
    ASSERT_TRUE(alice.login(server_->port()));
    ASSERT_TRUE(alice.join(kChannel));
    NmdcClient bob("bob");
    ASSERT_TRUE(bob.connect(port));
    ASSERT_TRUE(bob.login(kChannel));
    ASSERT_TRUE(lineFrom(alice, "bob", std::string("JOIN :") + kChannel));
    EXPECT_TRUE(daemon_->process().waitForOutput(c.connectedTo)) << "the address connected to";

    bob.send("<bob> over the wire|");
    EXPECT_TRUE(lineFrom(alice, "bob", std::string("PRIVMSG ") + kChannel + " :over the wire"));
    alice.line(std::string("PRIVMSG ") + kChannel + " :and back");
    EXPECT_TRUE(bob.waitForExact("<alice> and back|"));
    bob.close();
    EXPECT_TRUE(alice.waitUntilGone("bob"));
    EXPECT_FALSE(hasSanitizerReport(daemon_->log())) << daemon_->log();
  }
}

TEST_F(TlsSessionTest, RefusedStartsEndInTimeAndSayWhy) {
  const std::string tls = std::to_string(server_->tlsPort());
  // Accepts (the kernel does) and never says a word: a plain port waiting for a line.
  testing::LoopbackListener silent;
  const std::string fingerprintOption = "fingerprint=" + certificate_.fingerprint;
  const struct {
    const char* name;
    std::string serverText;
    bool trustAuthority;
    std::vector<std::string> said;  // in the log and to the user
  } cases[] = {
      {"NotTrusted",
       "ircs://localhost:" + tls,
       false,
       {"the server's certificate is not trusted",
        "SHA-256 fingerprint " + withColons(certificate_.fingerprint, false),
        "to trust it, set the option " + fingerprintOption}},
      {"ForAnotherHost",
       "ircs://127.0.0.1:" + tls,
       true,
       {"the certificate is for another host name", fingerprintOption}},
      {"PlainPortNeverAnswers",
       "ircs://127.0.0.1:" + std::to_string(silent.port()),
       false,
       {"TLS handshake timed out"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.trustAuthority && !Daemon::trustStoreFollowsEnvironment()) {
      continue;
    }
    const std::uint16_t port = startDaemon(c.serverText, c.trustAuthority);
    NmdcClient bob("bob");
    ASSERT_TRUE(bob.connect(port));
    bob.sendNick();
    // The handshake is bounded at 10 s; the close follows at once, and the
    // user is told the same reason as the log.
    const std::optional<std::string> told = bob.readUntilClosed(std::chrono::seconds(15));
    ASSERT_TRUE(told) << "the client was not let go";
    EXPECT_TRUE(daemon_->process().waitForOutput(" ended: ")) << daemon_->log();
    const std::string log = daemon_->log();
    for (const std::string& text : c.said) {
      EXPECT_NE(log.find(text), std::string::npos) << text << " in the log:\n" << log;
      EXPECT_NE(told->find(text), std::string::npos) << text << " told:\n" << *told;
    }
  }
}

}  // namespace
}  // namespace quayside::e2e
