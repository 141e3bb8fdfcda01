#include "tests/support/gpki/GpkiStandin.h"

GpkiStandin::GpkiStandin() : StandinObject<IGpkiComponent>(kGpkiStandinIid, L"GpkiStandin") {}

HRESULT STDMETHODCALLTYPE GpkiStandin::get_lastError(long* out) {
    return answer(0, "get_lastError", out, {});
}

HRESULT STDMETHODCALLTYPE GpkiStandin::GPKI_EnumCerts(int iFlags, VARIANT* out) {
    return answer(1, "GPKI_EnumCerts", out, {number(iFlags)});
}

HRESULT STDMETHODCALLTYPE GpkiStandin::CAPICertGetSerialNumber(BSTR strCert, int iFlags,
                                                               BSTR* out) {
    return answer(2, "CAPICertGetSerialNumber", out, {text(strCert), number(iFlags)});
}

HRESULT STDMETHODCALLTYPE GpkiStandin::CAPICertGetIssuer(BSTR strCert, int iFlags, BSTR* out) {
    return answer(3, "CAPICertGetIssuer", out, {text(strCert), number(iFlags)});
}

HRESULT STDMETHODCALLTYPE GpkiStandin::CAPICertGetSubject(BSTR strCert, long iFlags, BSTR* out) {
    return answer(4, "CAPICertGetSubject", out, {text(strCert), number(iFlags)});
}

HRESULT STDMETHODCALLTYPE GpkiStandin::GPKI_GetTailOfCitizenID(BSTR strCert, int iFlags,
                                                               BSTR* out) {
    return answer(5, "GPKI_GetTailOfCitizenID", out, {text(strCert), number(iFlags)});
}

HRESULT STDMETHODCALLTYPE GpkiStandin::GPKI_GetCertType(BSTR strCert, int iFlags, long* out) {
    return answer(6, "GPKI_GetCertType", out, {text(strCert), number(iFlags)});
}

HRESULT STDMETHODCALLTYPE GpkiStandin::GPKI_GetOrganizationID(BSTR strCert, int iFlags, BSTR* out) {
    return answer(7, "GPKI_GetOrganizationID", out, {text(strCert), number(iFlags)});
}

HRESULT STDMETHODCALLTYPE GpkiStandin::GPKI_GetCardHolderRank(BSTR strCert, int iFlags, BSTR* out) {
    return answer(8, "GPKI_GetCardHolderRank", out, {text(strCert), number(iFlags)});
}

HRESULT STDMETHODCALLTYPE GpkiStandin::GPKI_GetCertTypeOID(BSTR strCert, int iFlags, BSTR* out) {
    return answer(9, "GPKI_GetCertTypeOID", out, {text(strCert), number(iFlags)});
}

HRESULT STDMETHODCALLTYPE GpkiStandin::GPKI_GetEntityOID(BSTR cert, int iFlags, BSTR* out) {
    return answer(10, "GPKI_GetEntityOID", out, {text(cert), number(iFlags)});
}

HRESULT STDMETHODCALLTYPE GpkiStandin::CAPICertGetPublicKey(BSTR strCert, int iFlags, BSTR* out) {
    return answer(11, "CAPICertGetPublicKey", out, {text(strCert), number(iFlags)});
}

HRESULT STDMETHODCALLTYPE GpkiStandin::CAPICertGetNotBefore(BSTR strCert, int iFlags, BSTR* out) {
    return answer(12, "CAPICertGetNotBefore", out, {text(strCert), number(iFlags)});
}

HRESULT STDMETHODCALLTYPE GpkiStandin::CAPICertGetNotAfter(BSTR strCert, int iFlags, BSTR* out) {
    return answer(13, "CAPICertGetNotAfter", out, {text(strCert), number(iFlags)});
}

HRESULT STDMETHODCALLTYPE GpkiStandin::CAPICertGetVersion(BSTR strCert, int iFlags, BSTR* out) {
    return answer(14, "CAPICertGetVersion", out, {text(strCert), number(iFlags)});
}

HRESULT STDMETHODCALLTYPE GpkiStandin::GPKI_EncryptByCert(BSTR strCert, BSTR strData, int iFlags,
                                                          BSTR* out) {
    return answer(15, "GPKI_EncryptByCert", out, {text(strCert), text(strData), number(iFlags)});
}

HRESULT STDMETHODCALLTYPE GpkiStandin::GPKI_Decrypt(BSTR strCipher, int iFlags, int iKeyUsage,
                                                    BSTR* out) {
    return answer(16, "GPKI_Decrypt", out, {text(strCipher), number(iFlags), number(iKeyUsage)});
}

HRESULT STDMETHODCALLTYPE GpkiStandin::GPKI_Decrypt2File(BSTR strCipher, BSTR strOutFilePath,
                                                         int iFlags, int iKeyUsage, long* out) {
    return answer(17, "GPKI_Decrypt2File", out,
                  {text(strCipher), text(strOutFilePath), number(iFlags), number(iKeyUsage)});
}

HRESULT STDMETHODCALLTYPE GpkiStandin::GPKI_XMLSignTemplate(BSTR bstrPIN, BSTR bstrXML,
                                                            BSTR bstrSignId, int iFlags,
                                                            BSTR* out) {
    return answer(18, "GPKI_XMLSignTemplate", out,
                  {text(bstrPIN), text(bstrXML), text(bstrSignId), number(iFlags)});
}

HRESULT STDMETHODCALLTYPE GpkiStandin::GPKI_SetReaderSlot(int iFlags, int slot, long* out) {
    return answer(19, "GPKI_SetReaderSlot", out, {number(iFlags), number(slot)});
}

HRESULT STDMETHODCALLTYPE GpkiStandin::GPKI_EnumCertsToString(int iFlags, BSTR* out) {
    return answer(20, "GPKI_EnumCertsToString", out, {number(iFlags)});
}

HRESULT STDMETHODCALLTYPE GpkiStandin::GPKI_Base64Encode(BSTR srcData, BSTR codePage, BSTR* out) {
    return answer(21, "GPKI_Base64Encode", out, {text(srcData), text(codePage)});
}

HRESULT STDMETHODCALLTYPE GpkiStandin::GPKI_Base64Decode(BSTR base64String, BSTR outCodePage,
                                                         BSTR* out) {
    return answer(22, "GPKI_Base64Decode", out, {text(base64String), text(outCodePage)});
}

HRESULT STDMETHODCALLTYPE GpkiStandin::GPKI_DecryptEx(BSTR sOptPIN, BSTR strCipher, int iFlags,
                                                      int iKeyUsage, BSTR* out) {
    return answer(23, "GPKI_DecryptEx", out,
                  {text(sOptPIN), text(strCipher), number(iFlags), number(iKeyUsage)});
}

HRESULT STDMETHODCALLTYPE GpkiStandin::GPKI_SignDataInit(BSTR sOptPIN, int lFlags, long* out) {
    return answer(24, "GPKI_SignDataInit", out, {text(sOptPIN), number(lFlags)});
}

HRESULT STDMETHODCALLTYPE GpkiStandin::GPKI_SignDataFinal(int lFlags, long* out) {
    return answer(25, "GPKI_SignDataFinal", out, {number(lFlags)});
}

HRESULT STDMETHODCALLTYPE GpkiStandin::GPKI_XMLSignTemplateFile(BSTR bstrPIN, BSTR bstrXMLFilePath,
                                                                BSTR bstrSignId, int iFlags,
                                                                BSTR* out) {
    return answer(26, "GPKI_XMLSignTemplateFile", out,
                  {text(bstrPIN), text(bstrXMLFilePath), text(bstrSignId), number(iFlags)});
}

HRESULT STDMETHODCALLTYPE GpkiStandin::GPKI_XMLCalcTemplateDigest(BSTR bstrXML, BSTR bstrSignId,
                                                                  BSTR* out) {
    return answer(27, "GPKI_XMLCalcTemplateDigest", out, {text(bstrXML), text(bstrSignId)});
}

HRESULT STDMETHODCALLTYPE GpkiStandin::GPKI_XMLCalcTemplateFileDigest(BSTR bstrXMLFilePath,
                                                                      BSTR bstrSignId, BSTR* out) {
    return answer(28, "GPKI_XMLCalcTemplateFileDigest", out,
                  {text(bstrXMLFilePath), text(bstrSignId)});
}

HRESULT STDMETHODCALLTYPE GpkiStandin::GPKI_XMLSignTemplateDigest(BSTR bstrPIN, BSTR bstrXML,
                                                                  BSTR bstrSignId, int iFlags,
                                                                  BSTR* out) {
    return answer(29, "GPKI_XMLSignTemplateDigest", out,
                  {text(bstrPIN), text(bstrXML), text(bstrSignId), number(iFlags)});
}

HRESULT STDMETHODCALLTYPE GpkiStandin::GPKI_ReadFile(BSTR strFilepath, int flags, BSTR* out) {
    return answer(30, "GPKI_ReadFile", out, {text(strFilepath), number(flags)});
}

HRESULT STDMETHODCALLTYPE GpkiStandin::GPKI_XMLSignTemplateFileUpdate(BSTR bstrXMLFilePath,
                                                                      BSTR bstrSignId, int iFlags,
                                                                      BSTR* out) {
    return answer(31, "GPKI_XMLSignTemplateFileUpdate", out,
                  {text(bstrXMLFilePath), text(bstrSignId), number(iFlags)});
}

HRESULT STDMETHODCALLTYPE GpkiStandin::GPKI_SignInit(BSTR sOptPIN, int lFlags, long* out) {
    return answer(32, "GPKI_SignInit", out, {text(sOptPIN), number(lFlags)});
}

HRESULT STDMETHODCALLTYPE GpkiStandin::GPKI_SignFinal(int lFlags, long* out) {
    return answer(33, "GPKI_SignFinal", out, {number(lFlags)});
}

HRESULT STDMETHODCALLTYPE GpkiStandin::GPKI_XMLSignTemplateDigestUpdate(BSTR bstrXML,
                                                                        BSTR bstrSignId, int iFlags,
                                                                        BSTR* out) {
    return answer(34, "GPKI_XMLSignTemplateDigestUpdate", out,
                  {text(bstrXML), text(bstrSignId), number(iFlags)});
}

HRESULT STDMETHODCALLTYPE GpkiStandin::GPKI_SetPKCS11Driver(BSTR bPath, long* out) {
    return answer(35, "GPKI_SetPKCS11Driver", out, {text(bPath)});
}

HRESULT STDMETHODCALLTYPE GpkiStandin::SetXMLReferenceDirs(BSTR bstrMultiRefDir) {
    return answer(36, "SetXMLReferenceDirs", {text(bstrMultiRefDir)});
}

HRESULT STDMETHODCALLTYPE GpkiStandin::GPKI_GetSerialNumber(BSTR* out) {
    return answer(37, "GPKI_GetSerialNumber", out, {});
}

HRESULT STDMETHODCALLTYPE GpkiStandin::GPKI_RSADecrypt(BSTR strCipher, BSTR strPinCode, int iFlags,
                                                       BSTR* out) {
    return answer(38, "GPKI_RSADecrypt", out, {text(strCipher), text(strPinCode), number(iFlags)});
}

HRESULT STDMETHODCALLTYPE GpkiStandin::GPKI_RSAEncryptByCert(BSTR strCert, BSTR strData, int iFlags,
                                                             BSTR* out) {
    return answer(39, "GPKI_RSAEncryptByCert", out, {text(strCert), text(strData), number(iFlags)});
}

HRESULT STDMETHODCALLTYPE GpkiStandin::GPKI_XMLSignTemplateUpdate(BSTR bstrXML, BSTR bstrSignId,
                                                                  int iFlags, BSTR* out) {
    return answer(40, "GPKI_XMLSignTemplateUpdate", out,
                  {text(bstrXML), text(bstrSignId), number(iFlags)});
}

HRESULT STDMETHODCALLTYPE GpkiStandin::GPKI_XMLSignTemplateFile2File(BSTR bstrPIN,
                                                                     BSTR bstrInXMLFilePath,
                                                                     BSTR bstrOutXMLFilePath,
                                                                     BSTR bstrSignId, int iFlags,
                                                                     int* out) {
    return answer(41, "GPKI_XMLSignTemplateFile2File", out,
                  {text(bstrPIN), text(bstrInXMLFilePath), text(bstrOutXMLFilePath),
                   text(bstrSignId), number(iFlags)});
}

HRESULT STDMETHODCALLTYPE GpkiStandin::GPKI_XMLSignTemplateDigest2File(BSTR bstrPIN, BSTR bstrXML,
                                                                       BSTR bstrOutXMLFilePath,
                                                                       BSTR bstrSignId, int iFlags,
                                                                       int* out) {
    return answer(
        42, "GPKI_XMLSignTemplateDigest2File", out,
        {text(bstrPIN), text(bstrXML), text(bstrOutXMLFilePath), text(bstrSignId), number(iFlags)});
}

HRESULT STDMETHODCALLTYPE GpkiStandin::GPKI_GetAttributeCert(BSTR strReader, BSTR strPIN,
                                                             int iFlags, BSTR* out) {
    return answer(43, "GPKI_GetAttributeCert", out,
                  {text(strReader), text(strPIN), number(iFlags)});
}

HRESULT STDMETHODCALLTYPE GpkiStandin::SetCodePage(long codePage) {
    return answer(44, "SetCodePage", {number(codePage)});
}

HRESULT STDMETHODCALLTYPE GpkiStandin::GPKI_GetSlotCount(long* out) {
    return answer(45, "GPKI_GetSlotCount", out, {});
}

HRESULT STDMETHODCALLTYPE GpkiStandin::GPKI_VerifyPIN(BSTR bPIN, int iFlags, long* out) {
    return answer(46, "GPKI_VerifyPIN", out, {text(bPIN), number(iFlags)});
}

HRESULT STDMETHODCALLTYPE GpkiStandin::GPKI_GetErrorPINCount(long* out) {
    return answer(47, "GPKI_GetErrorPINCount", out, {});
}

HRESULT STDMETHODCALLTYPE GpkiStandin::GetVersion(int flag, BSTR* out) {
    return answer(48, "GetVersion", out, {number(flag)});
}

HRESULT STDMETHODCALLTYPE GpkiStandin::GPKI_SignData(BSTR sOptPIN, BSTR sData, BSTR signcodepage,
                                                     int iFlags, int iHashFlag, BSTR* out) {
    return answer(
        49, "GPKI_SignData", out,
        {text(sOptPIN), text(sData), text(signcodepage), number(iFlags), number(iHashFlag)});
}

HRESULT STDMETHODCALLTYPE GpkiStandin::GPKI_SignDataUpdate(BSTR sData, BSTR signcodepage,
                                                           int iFlags, int iHashFlag, BSTR* out) {
    return answer(50, "GPKI_SignDataUpdate", out,
                  {text(sData), text(signcodepage), number(iFlags), number(iHashFlag)});
}

HRESULT STDMETHODCALLTYPE GpkiStandin::GPKI_PureSign(BSTR sOptPIN, BSTR sData, BSTR signcodepage,
                                                     int iFlags, int iHashFlag, BSTR* out) {
    return answer(
        51, "GPKI_PureSign", out,
        {text(sOptPIN), text(sData), text(signcodepage), number(iFlags), number(iHashFlag)});
}

HRESULT STDMETHODCALLTYPE GpkiStandin::CryptCertGetSignatureAlgorithm(BSTR strCert, int iFlags,
                                                                      BSTR* out) {
    return answer(52, "CryptCertGetSignatureAlgorithm", out, {text(strCert), number(iFlags)});
}

HRESULT STDMETHODCALLTYPE GpkiStandin::CryptSignatureGetAlgorithm(BSTR strSignature, int iFlags,
                                                                  int index, BSTR* out) {
    return answer(53, "CryptSignatureGetAlgorithm", out,
                  {text(strSignature), number(iFlags), number(index)});
}

HRESULT STDMETHODCALLTYPE GpkiStandin::GPKI_SignInitLogin(BSTR sOptPIN, int lFlags, long* out) {
    return answer(54, "GPKI_SignInitLogin", out, {text(sOptPIN), number(lFlags)});
}

HRESULT STDMETHODCALLTYPE GpkiStandin::GPKI_DetectCard(int iFlags, long* out) {
    return answer(55, "GPKI_DetectCard", out, {number(iFlags)});
}

HRESULT STDMETHODCALLTYPE GpkiStandin::GPKI_GetCachedCert(BSTR* out) {
    return answer(56, "GPKI_GetCachedCert", out, {});
}

HRESULT STDMETHODCALLTYPE GpkiStandin::GPKI_CertGetSubjectDirectoryAttrs(BSTR strCert, BSTR strOID,
                                                                         int iFlags, BSTR* out) {
    return answer(57, "GPKI_CertGetSubjectDirectoryAttrs", out,
                  {text(strCert), text(strOID), number(iFlags)});
}

HRESULT STDMETHODCALLTYPE GpkiStandin::CryptCertGetExtension(BSTR strCert, long iFlags, BSTR* out) {
    return answer(58, "CryptCertGetExtension", out, {text(strCert), number(iFlags)});
}

HRESULT STDMETHODCALLTYPE GpkiStandin::SetDialogString(int dlgID, int IDS, BSTR value, int* out) {
    return answer(59, "SetDialogString", out, {number(dlgID), number(IDS), text(value)});
}
