// OqtTvqGPKICryptXrbAdapter: the GPKI crypto component's method table. The row order is a
// contract with every page that sends indexes and with the component's vtable: never reorder or
// insert, only append.
#include "adapters/AdapterProject/AdapterProject.h"

namespace {

using R = ResultKind;

inline constexpr std::array<MethodRow, 60> kGpkiMethods = {{
    row(0, "get_lastError", {}, R::DecimalLong),
    row(1, "GPKI_EnumCerts", {intArg("iFlags")}, R::List),
    row(2, "CAPICertGetSerialNumber", {text("strCert"), intArg("iFlags")}, R::Text),
    row(3, "CAPICertGetIssuer", {text("strCert"), intArg("iFlags")}, R::Text),
    row(4, "CAPICertGetSubject", {text("strCert"), longArg("iFlags")}, R::Text),
    row(5, "GPKI_GetTailOfCitizenID", {text("strCert"), intArg("iFlags")}, R::Text),
    row(6, "GPKI_GetCertType", {text("strCert"), intArg("iFlags")}, R::DecimalLong),
    row(7, "GPKI_GetOrganizationID", {text("strCert"), intArg("iFlags")}, R::Text),
    row(8, "GPKI_GetCardHolderRank", {text("strCert"), intArg("iFlags")}, R::Text),
    row(9, "GPKI_GetCertTypeOID", {text("strCert"), intArg("iFlags")}, R::Text),
    row(10, "GPKI_GetEntityOID", {text("cert"), intArg("iFlags")}, R::Text),
    row(11, "CAPICertGetPublicKey", {text("strCert"), intArg("iFlags")}, R::Text),
    row(12, "CAPICertGetNotBefore", {text("strCert"), intArg("iFlags")}, R::Text),
    row(13, "CAPICertGetNotAfter", {text("strCert"), intArg("iFlags")}, R::Text),
    row(14, "CAPICertGetVersion", {text("strCert"), intArg("iFlags")}, R::Text),
    row(15, "GPKI_EncryptByCert", {text("strCert"), text("strData"), intArg("iFlags")}, R::Text),
    row(16, "GPKI_Decrypt", {text("strCipher"), intArg("iFlags"), intArg("iKeyUsage")}, R::Text),
    row(17, "GPKI_Decrypt2File",
        {text("strCipher"), text("strOutFilePath"), intArg("iFlags"), intArg("iKeyUsage")},
        R::DecimalLong),
    row(18, "GPKI_XMLSignTemplate",
        {text("bstrPIN"), text("bstrXML"), text("bstrSignId"), intArg("iFlags")}, R::Text),
    row(19, "GPKI_SetReaderSlot", {intArg("iFlags"), intArg("slot")}, R::DecimalLong),
    row(20, "GPKI_EnumCertsToString", {intArg("iFlags")}, R::Text),
    row(21, "GPKI_Base64Encode", {text("srcData"), text("codePage")}, R::Text),
    row(22, "GPKI_Base64Decode", {text("base64String"), text("outCodePage")}, R::Text),
    row(23, "GPKI_DecryptEx",
        {text("sOptPIN"), text("strCipher"), intArg("iFlags"), intArg("iKeyUsage")}, R::Text),
    row(24, "GPKI_SignDataInit", {text("sOptPIN"), intArg("lFlags")}, R::DecimalLong),
    row(25, "GPKI_SignDataFinal", {intArg("lFlags")}, R::DecimalLong),
    row(26, "GPKI_XMLSignTemplateFile",
        {text("bstrPIN"), text("bstrXMLFilePath"), text("bstrSignId"), intArg("iFlags")}, R::Text),
    row(27, "GPKI_XMLCalcTemplateDigest", {text("bstrXML"), text("bstrSignId")}, R::Text),
    row(28, "GPKI_XMLCalcTemplateFileDigest", {text("bstrXMLFilePath"), text("bstrSignId")},
        R::Text),
    row(29, "GPKI_XMLSignTemplateDigest",
        {text("bstrPIN"), text("bstrXML"), text("bstrSignId"), intArg("iFlags")}, R::Text),
    row(30, "GPKI_ReadFile", {text("strFilepath"), intArg("flags")}, R::Text),
    row(31, "GPKI_XMLSignTemplateFileUpdate",
        {text("bstrXMLFilePath"), text("bstrSignId"), intArg("iFlags")}, R::Text),
    row(32, "GPKI_SignInit", {text("sOptPIN"), intArg("lFlags")}, R::DecimalLong),
    row(33, "GPKI_SignFinal", {intArg("lFlags")}, R::DecimalLong),
    row(34, "GPKI_XMLSignTemplateDigestUpdate",
        {text("bstrXML"), text("bstrSignId"), intArg("iFlags")}, R::Text),
    row(35, "GPKI_SetPKCS11Driver", {text("bPath")}, R::DecimalLong),
    row(36, "SetXMLReferenceDirs", {text("bstrMultiRefDir")}, R::None),
    row(37, "GPKI_GetSerialNumber", {}, R::Text),
    row(38, "GPKI_RSADecrypt", {text("strCipher"), text("strPinCode"), intArg("iFlags")}, R::Text),
    row(39, "GPKI_RSAEncryptByCert", {text("strCert"), text("strData"), intArg("iFlags")}, R::Text),
    row(40, "GPKI_XMLSignTemplateUpdate", {text("bstrXML"), text("bstrSignId"), intArg("iFlags")},
        R::Text),
    row(41, "GPKI_XMLSignTemplateFile2File",
        {text("bstrPIN"), text("bstrInXMLFilePath"), text("bstrOutXMLFilePath"), text("bstrSignId"),
         intArg("iFlags")},
        R::DecimalInt),
    row(42, "GPKI_XMLSignTemplateDigest2File",
        {text("bstrPIN"), text("bstrXML"), text("bstrOutXMLFilePath"), text("bstrSignId"),
         intArg("iFlags")},
        R::DecimalInt),
    row(43, "GPKI_GetAttributeCert", {text("strReader"), text("strPIN"), intArg("iFlags")},
        R::Text),
    row(44, "SetCodePage", {longArg("codePage")}, R::None),
    row(45, "GPKI_GetSlotCount", {}, R::DecimalLong),
    row(46, "GPKI_VerifyPIN", {text("bPIN"), intArg("iFlags")}, R::DecimalLong),
    row(47, "GPKI_GetErrorPINCount", {}, R::DecimalLong),
    row(48, "GetVersion", {intArg("flag")}, R::Text, KeyCheck::Outside),
    row(49, "GPKI_SignData",
        {text("sOptPIN"), text("sData"), text("signcodepage"), intArg("iFlags"),
         intArg("iHashFlag")},
        R::Text),
    row(50, "GPKI_SignDataUpdate",
        {text("sData"), text("signcodepage"), intArg("iFlags"), intArg("iHashFlag")}, R::Text),
    row(51, "GPKI_PureSign",
        {text("sOptPIN"), text("sData"), text("signcodepage"), intArg("iFlags"),
         intArg("iHashFlag")},
        R::Text),
    row(52, "CryptCertGetSignatureAlgorithm", {text("strCert"), intArg("iFlags")}, R::Text),
    row(53, "CryptSignatureGetAlgorithm", {text("strSignature"), intArg("iFlags"), intArg("index")},
        R::Text),
    row(54, "GPKI_SignInitLogin", {text("sOptPIN"), intArg("lFlags")}, R::DecimalLong),
    row(55, "GPKI_DetectCard", {intArg("iFlags")}, R::DecimalLong),
    row(56, "GPKI_GetCachedCert", {}, R::Text),
    row(57, "GPKI_CertGetSubjectDirectoryAttrs",
        {text("strCert"), text("strOID"), intArg("iFlags")}, R::Text),
    row(58, "CryptCertGetExtension", {text("strCert"), longArg("iFlags")}, R::Text),
    row(59, "SetDialogString", {intArg("dlgID"), intArg("IDS"), text("value")}, R::DecimalInt),
}};

static_assert(kGpkiMethods.size() == 60);
static_assert(methodRowsInOrder(kGpkiMethods));

constexpr auto kGpkiFunctions = makeMethodFunctions<kGpkiMethods>();

// {223C1DEA-517E-4C9F-B71B-ADF567BD519D}
constexpr CLSID kGpkiClsid = {
    0x223c1dea, 0x517e, 0x4c9f, {0xb7, 0x1b, 0xad, 0xf5, 0x67, 0xbd, 0x51, 0x9d}};
// {DA6F5956-2F5D-41FF-B44C-427B2C7217DB}
constexpr IID kGpkiIid = {
    0xda6f5956, 0x2f5d, 0x41ff, {0xb4, 0x4c, 0x42, 0x7b, 0x2c, 0x72, 0x17, 0xdb}};

constexpr AdapterDescription kGpkiAdapter = {
    "OqtTvqGPKICryptXrbAdapter",
    "1,6,3,10070",
    kGpkiClsid,
    kGpkiIid,
    kGpkiMethods.data(),
    kGpkiFunctions.data(),
    static_cast<int>(kGpkiMethods.size()),
};

}  // namespace

const AdapterDescription& adapterDescription() {
    return kGpkiAdapter;
}
