// The dispatcher with the real GPKI adapter library and the stand-in component: sessions open,
// call and release the adapter as the service does, each on its own copy of the library.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "common/win/Com.h"
#include "service/AdapterInstallation.h"
#include "service/QuillmarkQueue.h"
#include "service/QuillmarkSession.h"
#include "tests/support/gpki/GpkiStandin.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kGpkiVersion = "1,6,3,10070";

std::string openingJson(const std::string& extra = "") {
    return std::string("{\"PathID\":\"") + kGpkiPathId +
           "\",\"minServerVersion\":\"1.0.22.0303\",\"FunctionName\":\"QuillmarkEcho\"" + extra +
           "}";
}

class GpkiSessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(apartment_.ok());
        clearStandinCallsForTesting();
        setStandinBehaviourForTesting(StandinBehaviour::Normal);
        registration_ = std::make_unique<StandinClassRegistration>(
            kGpkiStandinClsid, makeStandinFactory<GpkiStandin>());
        ASSERT_HRESULT_SUCCEEDED(registration_->hr());
        installation_ = std::make_unique<AdapterInstallation>(std::nullopt, std::nullopt);
        fs::copy_file(qmtest::buildPathForWine(QM_GPKI_ADAPTER_PATH),
                      installation_->installedLibrary(kGpkiAdapterName));
    }

    void TearDown() override {
        installation_.reset();
        registration_.reset();
    }

    std::string open() {
        std::optional<ReplyMap> reply = dispatchJson(openingJson());
        EXPECT_TRUE(reply);
        return reply ? (*reply)["SessionID"] : std::string();
    }

    ComApartment apartment_;
    std::unique_ptr<StandinClassRegistration> registration_;
    std::unique_ptr<AdapterInstallation> installation_;
};

TEST_F(GpkiSessionTest, AnEchoOpensASessionThroughTheAdaptersHandshake) {
    std::optional<ReplyMap> reply = dispatchJson(openingJson());
    ASSERT_TRUE(reply);
    const std::string id = (*reply)["SessionID"];
    EXPECT_EQ(*reply, (ReplyMap{{"SessionID", id},
                                {"ServerVersion", "1.0.22.0303"},
                                {"LibVersion", kGpkiVersion},
                                {"result", "0"}}));
    // The handshake is the adapter's own: the component is not called for it.
    EXPECT_TRUE(standinCallsForTesting().empty());
    EXPECT_NE(GetModuleHandleW(installation_->sessionCopy(0, kGpkiAdapterName).c_str()), nullptr);
}

TEST_F(GpkiSessionTest, TheAdaptersVersionMeetsThePagesGate) {
    EXPECT_EQ(dispatchJson(openingJson(",\"minLibVersion\":\"1.6.3.10070\""))->at("result"), "0");
    EXPECT_EQ(dispatchJson(openingJson(",\"minLibVersion\":\"1.6.3.10071\"")),
              (ReplyMap{{"result", "61204"}}));
}

TEST_F(GpkiSessionTest, PageFunctionsReachTheComponentThroughTheSessionsCopy) {
    const std::string first = open();
    const std::string second = open();
    EXPECT_EQ(dispatchJson("{\"SessionId\":\"" + first +
                           "\",\"FunctionName\":\"GPKI_Base64Encode\",\"srcData\":\"abc\","
                           "\"codePage\":\"utf-8\"}"),
              (ReplyMap{{"result", "21|GPKI_Base64Encode|s3:abc|s5:utf-8"}}));
    EXPECT_EQ(
        dispatchJson("{\"SessionId\":\"" + second + "\",\"FunctionName\":\"GPKI_GetSlotCount\"}"),
        (ReplyMap{{"result", "45"}}));
    ASSERT_EQ(standinCallsForTesting().size(), 2u);
    const HMODULE a = GetModuleHandleW(installation_->sessionCopy(0, kGpkiAdapterName).c_str());
    const HMODULE b = GetModuleHandleW(installation_->sessionCopy(1, kGpkiAdapterName).c_str());
    EXPECT_NE(a, nullptr);
    EXPECT_NE(b, nullptr);
    EXPECT_NE(a, b);
}

TEST_F(GpkiSessionTest, ReleaseLetsGoOfTheComponentAndTheCopy) {
    const long baseline = standinModuleReferences().load();
    const std::string id = open();
    dispatchJson("{\"SessionId\":\"" + id + "\",\"FunctionName\":\"GPKI_GetSlotCount\"}");
    EXPECT_GT(standinModuleReferences().load(), baseline);
    EXPECT_EQ(dispatchJson("{\"SessionId\":\"" + id + "\",\"FunctionName\":\"QuillmarkClose\"}"),
              ReplyMap{});
    EXPECT_EQ(standinModuleReferences().load(), baseline);
    const fs::path copy = installation_->sessionCopy(0, kGpkiAdapterName);
    EXPECT_EQ(GetModuleHandleW(copy.c_str()), nullptr);
    EXPECT_FALSE(fs::exists(copy));
}

}  // namespace
