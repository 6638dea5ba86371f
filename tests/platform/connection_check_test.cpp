// Conformance tests of InternetCheckConnectionW with
// FLAG_ICC_FORCE_CONNECTION: a real connection attempt to the URL's host and
// port, against loopback listeners only.
#include <string>

#include "platform/conformance.h"
#include "support/loopback.h"

namespace {

std::wstring LoopbackUrl(unsigned short port) {
    return L"http://127.0.0.1:" + std::to_wstring(port) + L"/";
}

class ConnectionCheck : public ::testing::Test {
protected:
    vxtest::WinsockSession winsock_;
};

TEST_F(ConnectionCheck, ListeningPortAnswersTrue) {
    vxtest::Listener listener;  // accepts in the kernel, never answers
    EXPECT_TRUE(InternetCheckConnectionW(LoopbackUrl(listener.port()).c_str(),
                                         FLAG_ICC_FORCE_CONNECTION, 0));
}

TEST_F(ConnectionCheck, PathAndQueryDoNotMatter) {
    vxtest::Listener listener;
    const std::wstring url = L"http://127.0.0.1:" + std::to_wstring(listener.port()) + L"/a/b?c=d";
    EXPECT_TRUE(InternetCheckConnectionW(url.c_str(), FLAG_ICC_FORCE_CONNECTION, 0));
}

TEST_F(ConnectionCheck, RefusedPortAnswersFalse) {
    EXPECT_FALSE(InternetCheckConnectionW(LoopbackUrl(vxtest::UnusedPort()).c_str(),
                                          FLAG_ICC_FORCE_CONNECTION, 0));
    EXPECT_NE(GetLastError(), 0u);
}

TEST_F(ConnectionCheck, ClosedListenerAnswersFalse) {
    vxtest::Listener listener;
    const std::wstring url = LoopbackUrl(listener.port());
    ASSERT_TRUE(InternetCheckConnectionW(url.c_str(), FLAG_ICC_FORCE_CONNECTION, 0));
    listener.Close();
    EXPECT_FALSE(InternetCheckConnectionW(url.c_str(), FLAG_ICC_FORCE_CONNECTION, 0));
}

TEST_F(ConnectionCheck, MalformedUrlAnswersFalse) {
    EXPECT_FALSE(InternetCheckConnectionW(L"not a url", FLAG_ICC_FORCE_CONNECTION, 0));
}

}  // namespace
