// Stand-in for the GPKI crypto component: its dual interface, declared here from the GPKI method
// list on its own (never derived from the adapter's table, so that a wrong row in the adapter
// shows up instead of being mirrored), and the object that answers every method with a record of
// what it received (tests/support/standin/ComStandin.h).
//
// Registered under the adapter's class identifier: in a test process with
// StandinClassRegistration(kGpkiStandinClsid, makeStandinFactory<GpkiStandin>()), for other
// processes as the DLL GpkiStandin.dll (scripts/register-standins.sh).
#ifndef QM_TESTS_SUPPORT_GPKI_GPKISTANDIN_H
#define QM_TESTS_SUPPORT_GPKI_GPKISTANDIN_H

#include "tests/support/standin/ComStandin.h"

// {223C1DEA-517E-4C9F-B71B-ADF567BD519D}
inline constexpr CLSID kGpkiStandinClsid = {
    0x223c1dea, 0x517e, 0x4c9f, {0xb7, 0x1b, 0xad, 0xf5, 0x67, 0xbd, 0x51, 0x9d}};
// {DA6F5956-2F5D-41FF-B44C-427B2C7217DB}
inline constexpr IID kGpkiStandinIid = {
    0xda6f5956, 0x2f5d, 0x41ff, {0xb4, 0x4c, 0x42, 0x7b, 0x2c, 0x72, 0x17, 0xdb}};

inline constexpr int kGpkiStandinMethodCount = 60;

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"  // see ComStandin.h

// The methods follow IDispatch's, in this order; each returns an HRESULT.
struct IGpkiComponent : public IDispatch {
    virtual HRESULT STDMETHODCALLTYPE get_lastError(long* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE GPKI_EnumCerts(int iFlags, VARIANT* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE CAPICertGetSerialNumber(BSTR strCert, int iFlags,
                                                              BSTR* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE CAPICertGetIssuer(BSTR strCert, int iFlags, BSTR* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE CAPICertGetSubject(BSTR strCert, long iFlags, BSTR* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE GPKI_GetTailOfCitizenID(BSTR strCert, int iFlags,
                                                              BSTR* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE GPKI_GetCertType(BSTR strCert, int iFlags, long* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE GPKI_GetOrganizationID(BSTR strCert, int iFlags,
                                                             BSTR* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE GPKI_GetCardHolderRank(BSTR strCert, int iFlags,
                                                             BSTR* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE GPKI_GetCertTypeOID(BSTR strCert, int iFlags, BSTR* out) = 0;
    // 10
    virtual HRESULT STDMETHODCALLTYPE GPKI_GetEntityOID(BSTR cert, int iFlags, BSTR* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE CAPICertGetPublicKey(BSTR strCert, int iFlags, BSTR* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE CAPICertGetNotBefore(BSTR strCert, int iFlags, BSTR* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE CAPICertGetNotAfter(BSTR strCert, int iFlags, BSTR* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE CAPICertGetVersion(BSTR strCert, int iFlags, BSTR* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE GPKI_EncryptByCert(BSTR strCert, BSTR strData, int iFlags,
                                                         BSTR* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE GPKI_Decrypt(BSTR strCipher, int iFlags, int iKeyUsage,
                                                   BSTR* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE GPKI_Decrypt2File(BSTR strCipher, BSTR strOutFilePath,
                                                        int iFlags, int iKeyUsage, long* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE GPKI_XMLSignTemplate(BSTR bstrPIN, BSTR bstrXML,
                                                           BSTR bstrSignId, int iFlags,
                                                           BSTR* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE GPKI_SetReaderSlot(int iFlags, int slot, long* out) = 0;
    // 20
    virtual HRESULT STDMETHODCALLTYPE GPKI_EnumCertsToString(int iFlags, BSTR* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE GPKI_Base64Encode(BSTR srcData, BSTR codePage, BSTR* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE GPKI_Base64Decode(BSTR base64String, BSTR outCodePage,
                                                        BSTR* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE GPKI_DecryptEx(BSTR sOptPIN, BSTR strCipher, int iFlags,
                                                     int iKeyUsage, BSTR* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE GPKI_SignDataInit(BSTR sOptPIN, int lFlags, long* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE GPKI_SignDataFinal(int lFlags, long* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE GPKI_XMLSignTemplateFile(BSTR bstrPIN, BSTR bstrXMLFilePath,
                                                               BSTR bstrSignId, int iFlags,
                                                               BSTR* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE GPKI_XMLCalcTemplateDigest(BSTR bstrXML, BSTR bstrSignId,
                                                                 BSTR* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE GPKI_XMLCalcTemplateFileDigest(BSTR bstrXMLFilePath,
                                                                     BSTR bstrSignId,
                                                                     BSTR* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE GPKI_XMLSignTemplateDigest(BSTR bstrPIN, BSTR bstrXML,
                                                                 BSTR bstrSignId, int iFlags,
                                                                 BSTR* out) = 0;
    // 30
    virtual HRESULT STDMETHODCALLTYPE GPKI_ReadFile(BSTR strFilepath, int flags, BSTR* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE GPKI_XMLSignTemplateFileUpdate(BSTR bstrXMLFilePath,
                                                                     BSTR bstrSignId, int iFlags,
                                                                     BSTR* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE GPKI_SignInit(BSTR sOptPIN, int lFlags, long* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE GPKI_SignFinal(int lFlags, long* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE GPKI_XMLSignTemplateDigestUpdate(BSTR bstrXML,
                                                                       BSTR bstrSignId, int iFlags,
                                                                       BSTR* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE GPKI_SetPKCS11Driver(BSTR bPath, long* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetXMLReferenceDirs(BSTR bstrMultiRefDir) = 0;
    virtual HRESULT STDMETHODCALLTYPE GPKI_GetSerialNumber(BSTR* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE GPKI_RSADecrypt(BSTR strCipher, BSTR strPinCode, int iFlags,
                                                      BSTR* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE GPKI_RSAEncryptByCert(BSTR strCert, BSTR strData, int iFlags,
                                                            BSTR* out) = 0;
    // 40
    virtual HRESULT STDMETHODCALLTYPE GPKI_XMLSignTemplateUpdate(BSTR bstrXML, BSTR bstrSignId,
                                                                 int iFlags, BSTR* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE GPKI_XMLSignTemplateFile2File(BSTR bstrPIN,
                                                                    BSTR bstrInXMLFilePath,
                                                                    BSTR bstrOutXMLFilePath,
                                                                    BSTR bstrSignId, int iFlags,
                                                                    int* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE GPKI_XMLSignTemplateDigest2File(BSTR bstrPIN, BSTR bstrXML,
                                                                      BSTR bstrOutXMLFilePath,
                                                                      BSTR bstrSignId, int iFlags,
                                                                      int* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE GPKI_GetAttributeCert(BSTR strReader, BSTR strPIN, int iFlags,
                                                            BSTR* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetCodePage(long codePage) = 0;
    virtual HRESULT STDMETHODCALLTYPE GPKI_GetSlotCount(long* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE GPKI_VerifyPIN(BSTR bPIN, int iFlags, long* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE GPKI_GetErrorPINCount(long* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetVersion(int flag, BSTR* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE GPKI_SignData(BSTR sOptPIN, BSTR sData, BSTR signcodepage,
                                                    int iFlags, int iHashFlag, BSTR* out) = 0;
    // 50
    virtual HRESULT STDMETHODCALLTYPE GPKI_SignDataUpdate(BSTR sData, BSTR signcodepage, int iFlags,
                                                          int iHashFlag, BSTR* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE GPKI_PureSign(BSTR sOptPIN, BSTR sData, BSTR signcodepage,
                                                    int iFlags, int iHashFlag, BSTR* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE CryptCertGetSignatureAlgorithm(BSTR strCert, int iFlags,
                                                                     BSTR* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE CryptSignatureGetAlgorithm(BSTR strSignature, int iFlags,
                                                                 int index, BSTR* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE GPKI_SignInitLogin(BSTR sOptPIN, int lFlags, long* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE GPKI_DetectCard(int iFlags, long* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE GPKI_GetCachedCert(BSTR* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE GPKI_CertGetSubjectDirectoryAttrs(BSTR strCert, BSTR strOID,
                                                                        int iFlags, BSTR* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE CryptCertGetExtension(BSTR strCert, long iFlags,
                                                            BSTR* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetDialogString(int dlgID, int IDS, BSTR value, int* out) = 0;

protected:
    ~IGpkiComponent() = default;
};

class GpkiStandin : public StandinObject<IGpkiComponent> {
public:
    GpkiStandin();

    HRESULT STDMETHODCALLTYPE get_lastError(long* out) override;
    HRESULT STDMETHODCALLTYPE GPKI_EnumCerts(int iFlags, VARIANT* out) override;
    HRESULT STDMETHODCALLTYPE CAPICertGetSerialNumber(BSTR strCert, int iFlags, BSTR* out) override;
    HRESULT STDMETHODCALLTYPE CAPICertGetIssuer(BSTR strCert, int iFlags, BSTR* out) override;
    HRESULT STDMETHODCALLTYPE CAPICertGetSubject(BSTR strCert, long iFlags, BSTR* out) override;
    HRESULT STDMETHODCALLTYPE GPKI_GetTailOfCitizenID(BSTR strCert, int iFlags, BSTR* out) override;
    HRESULT STDMETHODCALLTYPE GPKI_GetCertType(BSTR strCert, int iFlags, long* out) override;
    HRESULT STDMETHODCALLTYPE GPKI_GetOrganizationID(BSTR strCert, int iFlags, BSTR* out) override;
    HRESULT STDMETHODCALLTYPE GPKI_GetCardHolderRank(BSTR strCert, int iFlags, BSTR* out) override;
    HRESULT STDMETHODCALLTYPE GPKI_GetCertTypeOID(BSTR strCert, int iFlags, BSTR* out) override;
    HRESULT STDMETHODCALLTYPE GPKI_GetEntityOID(BSTR cert, int iFlags, BSTR* out) override;
    HRESULT STDMETHODCALLTYPE CAPICertGetPublicKey(BSTR strCert, int iFlags, BSTR* out) override;
    HRESULT STDMETHODCALLTYPE CAPICertGetNotBefore(BSTR strCert, int iFlags, BSTR* out) override;
    HRESULT STDMETHODCALLTYPE CAPICertGetNotAfter(BSTR strCert, int iFlags, BSTR* out) override;
    HRESULT STDMETHODCALLTYPE CAPICertGetVersion(BSTR strCert, int iFlags, BSTR* out) override;
    HRESULT STDMETHODCALLTYPE GPKI_EncryptByCert(BSTR strCert, BSTR strData, int iFlags,
                                                 BSTR* out) override;
    HRESULT STDMETHODCALLTYPE GPKI_Decrypt(BSTR strCipher, int iFlags, int iKeyUsage,
                                           BSTR* out) override;
    HRESULT STDMETHODCALLTYPE GPKI_Decrypt2File(BSTR strCipher, BSTR strOutFilePath, int iFlags,
                                                int iKeyUsage, long* out) override;
    HRESULT STDMETHODCALLTYPE GPKI_XMLSignTemplate(BSTR bstrPIN, BSTR bstrXML, BSTR bstrSignId,
                                                   int iFlags, BSTR* out) override;
    HRESULT STDMETHODCALLTYPE GPKI_SetReaderSlot(int iFlags, int slot, long* out) override;
    HRESULT STDMETHODCALLTYPE GPKI_EnumCertsToString(int iFlags, BSTR* out) override;
    HRESULT STDMETHODCALLTYPE GPKI_Base64Encode(BSTR srcData, BSTR codePage, BSTR* out) override;
    HRESULT STDMETHODCALLTYPE GPKI_Base64Decode(BSTR base64String, BSTR outCodePage,
                                                BSTR* out) override;
    HRESULT STDMETHODCALLTYPE GPKI_DecryptEx(BSTR sOptPIN, BSTR strCipher, int iFlags,
                                             int iKeyUsage, BSTR* out) override;
    HRESULT STDMETHODCALLTYPE GPKI_SignDataInit(BSTR sOptPIN, int lFlags, long* out) override;
    HRESULT STDMETHODCALLTYPE GPKI_SignDataFinal(int lFlags, long* out) override;
    HRESULT STDMETHODCALLTYPE GPKI_XMLSignTemplateFile(BSTR bstrPIN, BSTR bstrXMLFilePath,
                                                       BSTR bstrSignId, int iFlags,
                                                       BSTR* out) override;
    HRESULT STDMETHODCALLTYPE GPKI_XMLCalcTemplateDigest(BSTR bstrXML, BSTR bstrSignId,
                                                         BSTR* out) override;
    HRESULT STDMETHODCALLTYPE GPKI_XMLCalcTemplateFileDigest(BSTR bstrXMLFilePath, BSTR bstrSignId,
                                                             BSTR* out) override;
    HRESULT STDMETHODCALLTYPE GPKI_XMLSignTemplateDigest(BSTR bstrPIN, BSTR bstrXML,
                                                         BSTR bstrSignId, int iFlags,
                                                         BSTR* out) override;
    HRESULT STDMETHODCALLTYPE GPKI_ReadFile(BSTR strFilepath, int flags, BSTR* out) override;
    HRESULT STDMETHODCALLTYPE GPKI_XMLSignTemplateFileUpdate(BSTR bstrXMLFilePath, BSTR bstrSignId,
                                                             int iFlags, BSTR* out) override;
    HRESULT STDMETHODCALLTYPE GPKI_SignInit(BSTR sOptPIN, int lFlags, long* out) override;
    HRESULT STDMETHODCALLTYPE GPKI_SignFinal(int lFlags, long* out) override;
    HRESULT STDMETHODCALLTYPE GPKI_XMLSignTemplateDigestUpdate(BSTR bstrXML, BSTR bstrSignId,
                                                               int iFlags, BSTR* out) override;
    HRESULT STDMETHODCALLTYPE GPKI_SetPKCS11Driver(BSTR bPath, long* out) override;
    HRESULT STDMETHODCALLTYPE SetXMLReferenceDirs(BSTR bstrMultiRefDir) override;
    HRESULT STDMETHODCALLTYPE GPKI_GetSerialNumber(BSTR* out) override;
    HRESULT STDMETHODCALLTYPE GPKI_RSADecrypt(BSTR strCipher, BSTR strPinCode, int iFlags,
                                              BSTR* out) override;
    HRESULT STDMETHODCALLTYPE GPKI_RSAEncryptByCert(BSTR strCert, BSTR strData, int iFlags,
                                                    BSTR* out) override;
    HRESULT STDMETHODCALLTYPE GPKI_XMLSignTemplateUpdate(BSTR bstrXML, BSTR bstrSignId, int iFlags,
                                                         BSTR* out) override;
    HRESULT STDMETHODCALLTYPE GPKI_XMLSignTemplateFile2File(BSTR bstrPIN, BSTR bstrInXMLFilePath,
                                                            BSTR bstrOutXMLFilePath,
                                                            BSTR bstrSignId, int iFlags,
                                                            int* out) override;
    HRESULT STDMETHODCALLTYPE GPKI_XMLSignTemplateDigest2File(BSTR bstrPIN, BSTR bstrXML,
                                                              BSTR bstrOutXMLFilePath,
                                                              BSTR bstrSignId, int iFlags,
                                                              int* out) override;
    HRESULT STDMETHODCALLTYPE GPKI_GetAttributeCert(BSTR strReader, BSTR strPIN, int iFlags,
                                                    BSTR* out) override;
    HRESULT STDMETHODCALLTYPE SetCodePage(long codePage) override;
    HRESULT STDMETHODCALLTYPE GPKI_GetSlotCount(long* out) override;
    HRESULT STDMETHODCALLTYPE GPKI_VerifyPIN(BSTR bPIN, int iFlags, long* out) override;
    HRESULT STDMETHODCALLTYPE GPKI_GetErrorPINCount(long* out) override;
    HRESULT STDMETHODCALLTYPE GetVersion(int flag, BSTR* out) override;
    HRESULT STDMETHODCALLTYPE GPKI_SignData(BSTR sOptPIN, BSTR sData, BSTR signcodepage, int iFlags,
                                            int iHashFlag, BSTR* out) override;
    HRESULT STDMETHODCALLTYPE GPKI_SignDataUpdate(BSTR sData, BSTR signcodepage, int iFlags,
                                                  int iHashFlag, BSTR* out) override;
    HRESULT STDMETHODCALLTYPE GPKI_PureSign(BSTR sOptPIN, BSTR sData, BSTR signcodepage, int iFlags,
                                            int iHashFlag, BSTR* out) override;
    HRESULT STDMETHODCALLTYPE CryptCertGetSignatureAlgorithm(BSTR strCert, int iFlags,
                                                             BSTR* out) override;
    HRESULT STDMETHODCALLTYPE CryptSignatureGetAlgorithm(BSTR strSignature, int iFlags, int index,
                                                         BSTR* out) override;
    HRESULT STDMETHODCALLTYPE GPKI_SignInitLogin(BSTR sOptPIN, int lFlags, long* out) override;
    HRESULT STDMETHODCALLTYPE GPKI_DetectCard(int iFlags, long* out) override;
    HRESULT STDMETHODCALLTYPE GPKI_GetCachedCert(BSTR* out) override;
    HRESULT STDMETHODCALLTYPE GPKI_CertGetSubjectDirectoryAttrs(BSTR strCert, BSTR strOID,
                                                                int iFlags, BSTR* out) override;
    HRESULT STDMETHODCALLTYPE CryptCertGetExtension(BSTR strCert, long iFlags, BSTR* out) override;
    HRESULT STDMETHODCALLTYPE SetDialogString(int dlgID, int IDS, BSTR value, int* out) override;
};

#pragma GCC diagnostic pop

#endif
