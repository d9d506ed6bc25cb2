// TLS peers are verified: the stand-in's certificate is trusted only through the test CA and
// only for the name it carries.
#include "NetworkTestSupport.h"

#include "network/NetworkClient.h"

namespace {

using TlsTest = TlsStandInTest;

class SelfSignedTest : public StandInTest {
protected:
    StandInOptions options() const override {
        StandInOptions result;
        result.tls = TlsMode::SelfSigned;
        return result;
    }
};

TEST_F(TlsTest, AcceptsTheCertificateOfTheTestCa) {
    standIn.route("GET", "/ping", [](const RecordedRequest&) { return Reply("pong", "text/plain"); });
    NetworkClient client(0);
    client.setCurlOption(CURLOPT_CAINFO, QString::fromStdString(standIn.caFile()));
    ASSERT_TRUE(client.doGet(QString::fromStdString(standIn.url(Listener::Tls, "/ping"))))
        << client.getCurlResultString().toStdString() << ": " << client.errorString().toStdString();
    EXPECT_EQ(client.responseBody(), QByteArray("pong"));
}

TEST_F(TlsTest, RefusesItWithoutTheTestCa) {
    NetworkClient client(0);
    EXPECT_FALSE(client.doGet(QString::fromStdString(standIn.url(Listener::Tls, "/ping"))));
    EXPECT_NE(client.getCurlResult(), CURLE_OK);
    EXPECT_EQ(standIn.requestCount(), 0);
}

TEST_F(TlsTest, AcceptsTheLoopbackAddressItNames) {
    standIn.route("GET", "/ping", [](const RecordedRequest&) { return Reply("pong", "text/plain"); });
    NetworkClient client(0);
    client.setCurlOption(CURLOPT_CAINFO, QString::fromStdString(standIn.caFile()));
    ASSERT_TRUE(client.doGet(QStringLiteral("https://127.0.0.1:%1/ping").arg(standIn.port(Listener::Tls))))
        << client.getCurlResultString().toStdString() << ": " << client.errorString().toStdString();
    EXPECT_EQ(client.responseBody(), QByteArray("pong"));
}

TEST_F(TlsTest, RefusesANameTheCertificateDoesNotCarry) {
    NetworkClient client(0);
    client.setCurlOption(CURLOPT_CAINFO, QString::fromStdString(standIn.caFile()));
    // The URL names 127.0.0.2; the connection goes to the listener on 127.0.0.1.
    curl_slist* connectTo = curl_slist_append(nullptr, "127.0.0.2::127.0.0.1:");
    curl_easy_setopt(client.getCurlHandle(), CURLOPT_CONNECT_TO, connectTo);
    EXPECT_FALSE(client.doGet(QStringLiteral("https://127.0.0.2:%1/ping").arg(standIn.port(Listener::Tls))));
    EXPECT_EQ(client.getCurlResult(), CURLE_PEER_FAILED_VERIFICATION);
    EXPECT_EQ(standIn.requestCount(), 0);
    curl_easy_setopt(client.getCurlHandle(), CURLOPT_CONNECT_TO, nullptr);
    curl_slist_free_all(connectTo);
}

TEST_F(SelfSignedTest, RefusesASelfSignedCertificate) {
    NetworkClient client(0);
    client.setCurlOption(CURLOPT_CAINFO, QString::fromStdString(standIn.caFile()));
    EXPECT_FALSE(client.doGet(QString::fromStdString(standIn.url(Listener::Tls, "/ping"))));
    EXPECT_EQ(client.getCurlResult(), CURLE_PEER_FAILED_VERIFICATION);
    EXPECT_EQ(standIn.requestCount(), 0);
}

} // namespace
