// OqtTvqHCAXrbAdapter: the HCA crypto component's method table. The row order is a contract with
// every page that sends indexes and with the component's vtable: never reorder or insert, only
// append.
#include "adapters/AdapterProject/AdapterProject.h"

namespace {

using R = ResultKind;

inline constexpr std::array<MethodRow, 44> kHcaMethods = {{
    row(0, "HCA_GetErrorCode", {}, R::DecimalLong),
    row(1, "HCA_Encode", {text("strData"), ansiText("strPemTitle")}, R::Text),
    row(2, "HCA_GetCardSN", {}, R::Text),
    row(3, "HCA_GetCardType", {text("readername")}, R::DecimalInt),
    row(4, "HCA_GetCardInfo", {}, R::List),
    row(5, "HCA_GetCertSerialNumber", {text("strCert"), longArg("iFlags")}, R::Text),
    row(6, "HCA_GetCertSubject", {text("strCert"), longArg("iFlags")}, R::Text),
    row(7, "HCA_GetCertIssuer", {text("strCert"), longArg("iFlags")}, R::Text),
    row(8, "HCA_GetCertNotBefore", {text("strCert"), longArg("iFlags")}, R::Text),
    row(9, "HCA_GetCertNotAfter", {text("strCert"), longArg("iFlags")}, R::Text),
    row(10, "HCA_GetCertDigest", {text("strCert"), longArg("iFlags")}, R::Text),
    row(11, "HCA_Verify", {text("strCert"), text("strSignature"), text("pData"), longArg("iFlags")},
        R::DecimalInt),
    row(12, "HCA_Decode", {text("strEncoded"), ansiText("strPemTitle")}, R::Text),
    row(13, "HCA_GetRecord", {text("readername"), text("strLabel")}, R::Text),
    row(14, "HCA_ListReaders", {}, R::List),
    row(15, "HCA_GetHCBasicData", {}, R::List),
    row(16, "HCA_GetReaderName", {longArg("flag")}, R::DecimalInt),
    row(17, "HCA_HPCBasicDataByReader", {text("readername"), intArg("iFlags")}, R::List),
    row(18, "HCA_GetCertificateByReader", {text("readername"), text("pincode"), intArg("iFlags")},
        R::Text),
    row(19, "HCA_SignByReader",
        {text("readername"), text("pincode"), text("bData"), intArg("iFlags"), intArg("iHashFlag")},
        R::Text),
    row(20, "HCA_GetHCBasicDataByReader", {text("readername"), intArg("iFlags")}, R::List),
    row(21, "HCA_GetReaderNames", {intArg("iFlags")}, R::List),
    row(22, "HCA_GetHOPBasicDataByReader", {text("readername"), intArg("iFlags")}, R::List),
    row(23, "HCA_PureSignByReader",
        {text("readername"), text("pincode"), text("bData"), intArg("iFlags"), intArg("iHashFlag")},
        R::Text),
    row(24, "HCA_GetRetryCounter", {}, R::DecimalInt),
    row(25, "HCA_GetReaderNamesString", {intArg("iFlags")}, R::Text),
    row(26, "HCA_GetHOPBasicDataStringByReader", {text("readername"), intArg("iFlags")}, R::Text),
    row(27, "HCA_GetHCBasicDataStringByReader", {text("readername"), intArg("iFlags")}, R::Text),
    row(28, "HCA_GetHPCBasicDataStringByReader", {text("readername"), intArg("iFlags")}, R::Text),
    row(29, "HCA_GetCardInfoByReader", {text("readername"), intArg("iFlag")}, R::List),
    row(30, "HCA_GeneratePKCS7",
        {text("signature"), text("cert"), text("data"), longArg("flag"), longArg("iHashFlag")},
        R::Text),
    row(31, "SetCodePage", {longArg("codepage")}, R::None),
    row(32, "HCA_Encrypt", {text("strCert"), text("bData"), longArg("iFlags")}, R::Text),
    row(33, "HCA_DecryptByReader",
        {text("readername"), text("pincode"), text("bCipher"), intArg("iFlags")}, R::Text),
    row(34, "HCA_SignInitByReader", {text("readername"), text("pincode")}, R::DecimalInt),
    row(35, "HCA_SignUpdate", {text("bData"), intArg("iFlags"), intArg("iHashFlag")}, R::Text),
    row(36, "HCA_SignFinal", {}, R::DecimalInt),
    row(37, "HCA_XMLSignTemplateByReader",
        {text("readername"), text("pincode"), text("bstrXML"), text("bstrSignId"),
         intArg("iFlags")},
        R::Text),
    row(38, "HCA_XMLSignTemplateUpdate", {text("bstrXML"), text("bstrSignId"), intArg("iFlags")},
        R::Text),
    row(39, "HCA_XMLSignTemplate2FileByReader",
        {text("readername"), text("pincode"), text("bstrXML"), text("bstrSignId"),
         text("bstrOutFIle"), intArg("iFlags")},
        R::DecimalInt),
    row(40, "HCA_XMLSignTemplate2FileUpdate",
        {text("bstrXML"), text("bstrSignId"), text("bstrOutFIle"), intArg("iFlags")},
        R::DecimalInt),
    row(41, "HCA_PureSignUpdate", {text("bData"), intArg("iFlags"), intArg("iHashFlag")}, R::Text),
    row(42, "HCA_GetInitCertificate", {}, R::Text),
    row(43, "DetectReplug", {longArg("iFlags"), longArg("iReplugTime")}, R::DecimalInt),
}};

static_assert(kHcaMethods.size() == 44);
static_assert(methodRowsInOrder(kHcaMethods));

constexpr auto kHcaFunctions = makeMethodFunctions<kHcaMethods>();

// {8EA9F491-0BFD-4A0D-90C7-9DFAC7CF62DC}
constexpr CLSID kHcaClsid = {
    0x8ea9f491, 0x0bfd, 0x4a0d, {0x90, 0xc7, 0x9d, 0xfa, 0xc7, 0xcf, 0x62, 0xdc}};
// {51D02C7F-B5F9-47B0-BA6B-104CA810E96B}
constexpr IID kHcaIid = {
    0x51d02c7f, 0xb5f9, 0x47b0, {0xba, 0x6b, 0x10, 0x4c, 0xa8, 0x10, 0xe9, 0x6b}};

constexpr AdapterDescription kHcaAdapter = {
    "OqtTvqHCAXrbAdapter",
    "1,1,22,216",
    kHcaClsid,
    kHcaIid,
    kHcaMethods.data(),
    kHcaFunctions.data(),
    static_cast<int>(kHcaMethods.size()),
};

}  // namespace

const AdapterDescription& adapterDescription() {
    return kHcaAdapter;
}
