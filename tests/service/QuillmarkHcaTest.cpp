// The dispatcher with the real HCA adapter library and the HCA stand-in: the path table's second
// row opens sessions on copies of it, and page functions reach the component through them.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "common/win/Com.h"
#include "service/AdapterInstallation.h"
#include "service/QuillmarkQueue.h"
#include "service/QuillmarkSession.h"
#include "tests/support/hca/HcaStandin.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kHcaVersion = "1,1,22,216";

std::string openingJson(const std::string& extra = "") {
    return std::string("{\"PathID\":\"") + kHcaPathId +
           "\",\"minServerVersion\":\"1.0.22.0303\",\"FunctionName\":\"QuillmarkEcho\"" + extra +
           "}";
}

class HcaSessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(apartment_.ok());
        clearStandinCallsForTesting();
        setStandinBehaviourForTesting(StandinBehaviour::Normal);
        registration_ = std::make_unique<StandinClassRegistration>(
            kHcaStandinClsid, makeStandinFactory<HcaStandin>());
        ASSERT_HRESULT_SUCCEEDED(registration_->hr());
        installation_ = std::make_unique<AdapterInstallation>(std::nullopt, std::nullopt);
        fs::copy_file(qmtest::buildPathForWine(QM_HCA_ADAPTER_PATH),
                      installation_->installedLibrary(kHcaAdapterName));
    }

    void TearDown() override {
        installation_.reset();
        registration_.reset();
    }

    std::string open(const std::string& extra = "") {
        std::optional<ReplyMap> reply = dispatchJson(openingJson(extra));
        EXPECT_TRUE(reply);
        return reply ? (*reply)["SessionID"] : std::string();
    }

    ComApartment apartment_;
    std::unique_ptr<StandinClassRegistration> registration_;
    std::unique_ptr<AdapterInstallation> installation_;
};

TEST_F(HcaSessionTest, ThePathIdOfTheSecondRowOpensASessionOnACopyOfTheHcaAdapter) {
    // Any LibDir and ComName, even the first row's, give way to the PathID.
    std::optional<ReplyMap> reply =
        dispatchJson(openingJson(",\"LibDir\":\"Oqt\",\"ComName\":\"OqtTvqGPKICryptXrbAdapter\""));
    ASSERT_TRUE(reply);
    const std::string id = (*reply)["SessionID"];
    EXPECT_EQ(*reply, (ReplyMap{{"SessionID", id},
                                {"ServerVersion", "1.0.22.0303"},
                                {"LibVersion", kHcaVersion},
                                {"result", "0"}}));
    EXPECT_TRUE(standinCallsForTesting().empty());
    EXPECT_NE(GetModuleHandleW(installation_->sessionCopy(0, kHcaAdapterName).c_str()), nullptr);
}

TEST_F(HcaSessionTest, PageFunctionsReachTheComponentThroughTheSessionsCopy) {
    const std::string id = open();
    EXPECT_EQ(dispatchJson("{\"SessionId\":\"" + id +
                           "\",\"FunctionName\":\"HCA_Encode\",\"QuillmarkFunctionIndex\":\"1\","
                           "\"strData\":\"abc\",\"strPemTitle\":\"CERTIFICATE\"}"),
              (ReplyMap{{"result", "1|HCA_Encode|s3:abc|s11:CERTIFICATE"}}));
    EXPECT_EQ(dispatchJson("{\"SessionId\":\"" + id + "\",\"FunctionName\":\"HCA_GetCardInfo\"}"),
              (ReplyMap{{"result", "4;HCA_GetCardInfo;"}}));
    EXPECT_EQ(dispatchJson("{\"SessionId\":\"" + id +
                           "\",\"FunctionName\":\"DetectReplug\",\"iFlags\":\"-2\","
                           "\"AdapterJsonKeyCheck\":\"true\"}"),
              (ReplyMap{{"result", "61016"}}));
    ASSERT_EQ(standinCallsForTesting().size(), 2u);
}

TEST_F(HcaSessionTest, ReleaseLetsGoOfTheComponentAndTheCopy) {
    const long baseline = standinModuleReferences().load();
    const std::string id = open();
    dispatchJson("{\"SessionId\":\"" + id + "\",\"FunctionName\":\"HCA_SignFinal\"}");
    EXPECT_GT(standinModuleReferences().load(), baseline);
    EXPECT_EQ(dispatchJson("{\"SessionId\":\"" + id + "\",\"FunctionName\":\"QuillmarkClose\"}"),
              ReplyMap{});
    EXPECT_EQ(standinModuleReferences().load(), baseline);
    const fs::path copy = installation_->sessionCopy(0, kHcaAdapterName);
    EXPECT_EQ(GetModuleHandleW(copy.c_str()), nullptr);
    EXPECT_FALSE(fs::exists(copy));
}

}  // namespace
