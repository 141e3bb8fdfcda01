// Stand-in for the HCA crypto component: its dual interface, declared here from the HCA method
// list on its own (never derived from the adapter's table, so that a wrong row in the adapter
// shows up instead of being mirrored), and the object that answers every method with a record of
// what it received (tests/support/standin/ComStandin.h).
//
// Registered under the adapter's class identifier: in a test process with
// StandinClassRegistration(kHcaStandinClsid, makeStandinFactory<HcaStandin>()), for other
// processes as the DLL HcaStandin.dll (regsvr32).
#ifndef QM_TESTS_SUPPORT_HCA_HCASTANDIN_H
#define QM_TESTS_SUPPORT_HCA_HCASTANDIN_H

#include "tests/support/standin/ComStandin.h"

// {8EA9F491-0BFD-4A0D-90C7-9DFAC7CF62DC}
inline constexpr CLSID kHcaStandinClsid = {
    0x8ea9f491, 0x0bfd, 0x4a0d, {0x90, 0xc7, 0x9d, 0xfa, 0xc7, 0xcf, 0x62, 0xdc}};
// {51D02C7F-B5F9-47B0-BA6B-104CA810E96B}
inline constexpr IID kHcaStandinIid = {
    0x51d02c7f, 0xb5f9, 0x47b0, {0xba, 0x6b, 0x10, 0x4c, 0xa8, 0x10, 0xe9, 0x6b}};

inline constexpr int kHcaStandinMethodCount = 44;

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"  // see ComStandin.h

// The methods follow IDispatch's, in this order; each returns an HRESULT. strPemTitle is the one
// argument passed as a VARIANT by value.
struct IHcaComponent : public IDispatch {
    virtual HRESULT STDMETHODCALLTYPE HCA_GetErrorCode(long* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE HCA_Encode(BSTR strData, VARIANT strPemTitle, BSTR* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE HCA_GetCardSN(BSTR* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE HCA_GetCardType(BSTR readername, int* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE HCA_GetCardInfo(VARIANT* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE HCA_GetCertSerialNumber(BSTR strCert, long iFlags,
                                                              BSTR* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE HCA_GetCertSubject(BSTR strCert, long iFlags, BSTR* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE HCA_GetCertIssuer(BSTR strCert, long iFlags, BSTR* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE HCA_GetCertNotBefore(BSTR strCert, long iFlags,
                                                           BSTR* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE HCA_GetCertNotAfter(BSTR strCert, long iFlags, BSTR* out) = 0;
    // 10
    virtual HRESULT STDMETHODCALLTYPE HCA_GetCertDigest(BSTR strCert, long iFlags, BSTR* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE HCA_Verify(BSTR strCert, BSTR strSignature, BSTR pData,
                                                 long iFlags, int* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE HCA_Decode(BSTR strEncoded, VARIANT strPemTitle,
                                                 BSTR* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE HCA_GetRecord(BSTR readername, BSTR strLabel, BSTR* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE HCA_ListReaders(VARIANT* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE HCA_GetHCBasicData(VARIANT* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE HCA_GetReaderName(long flag, int* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE HCA_HPCBasicDataByReader(BSTR readername, int iFlags,
                                                               VARIANT* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE HCA_GetCertificateByReader(BSTR readername, BSTR pincode,
                                                                 int iFlags, BSTR* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE HCA_SignByReader(BSTR readername, BSTR pincode, BSTR bData,
                                                       int iFlags, int iHashFlag, BSTR* out) = 0;
    // 20
    virtual HRESULT STDMETHODCALLTYPE HCA_GetHCBasicDataByReader(BSTR readername, int iFlags,
                                                                 VARIANT* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE HCA_GetReaderNames(int iFlags, VARIANT* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE HCA_GetHOPBasicDataByReader(BSTR readername, int iFlags,
                                                                  VARIANT* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE HCA_PureSignByReader(BSTR readername, BSTR pincode,
                                                           BSTR bData, int iFlags, int iHashFlag,
                                                           BSTR* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE HCA_GetRetryCounter(int* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE HCA_GetReaderNamesString(int iFlags, BSTR* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE HCA_GetHOPBasicDataStringByReader(BSTR readername, int iFlags,
                                                                        BSTR* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE HCA_GetHCBasicDataStringByReader(BSTR readername, int iFlags,
                                                                       BSTR* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE HCA_GetHPCBasicDataStringByReader(BSTR readername, int iFlags,
                                                                        BSTR* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE HCA_GetCardInfoByReader(BSTR readername, int iFlag,
                                                              VARIANT* out) = 0;
    // 30
    virtual HRESULT STDMETHODCALLTYPE HCA_GeneratePKCS7(BSTR signature, BSTR cert, BSTR data,
                                                        long flag, long iHashFlag, BSTR* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetCodePage(long codepage) = 0;
    virtual HRESULT STDMETHODCALLTYPE HCA_Encrypt(BSTR strCert, BSTR bData, long iFlags,
                                                  BSTR* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE HCA_DecryptByReader(BSTR readername, BSTR pincode,
                                                          BSTR bCipher, int iFlags, BSTR* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE HCA_SignInitByReader(BSTR readername, BSTR pincode,
                                                           int* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE HCA_SignUpdate(BSTR bData, int iFlags, int iHashFlag,
                                                     BSTR* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE HCA_SignFinal(int* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE HCA_XMLSignTemplateByReader(BSTR readername, BSTR pincode,
                                                                  BSTR bstrXML, BSTR bstrSignId,
                                                                  int iFlags, BSTR* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE HCA_XMLSignTemplateUpdate(BSTR bstrXML, BSTR bstrSignId,
                                                                int iFlags, BSTR* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE HCA_XMLSignTemplate2FileByReader(BSTR readername,
                                                                       BSTR pincode, BSTR bstrXML,
                                                                       BSTR bstrSignId,
                                                                       BSTR bstrOutFIle, int iFlags,
                                                                       int* out) = 0;
    // 40
    virtual HRESULT STDMETHODCALLTYPE HCA_XMLSignTemplate2FileUpdate(BSTR bstrXML, BSTR bstrSignId,
                                                                     BSTR bstrOutFIle, int iFlags,
                                                                     int* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE HCA_PureSignUpdate(BSTR bData, int iFlags, int iHashFlag,
                                                         BSTR* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE HCA_GetInitCertificate(BSTR* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE DetectReplug(long iFlags, long iReplugTime, int* out) = 0;

protected:
    ~IHcaComponent() = default;
};

// Each method records its row index, its name and its arguments in parameter order.
class HcaStandin : public StandinObject<IHcaComponent> {
public:
    HcaStandin() : StandinObject<IHcaComponent>(kHcaStandinIid, L"HcaStandin") {}

    HRESULT STDMETHODCALLTYPE HCA_GetErrorCode(long* out) override {
        return answer(0, "HCA_GetErrorCode", out, {});
    }
    HRESULT STDMETHODCALLTYPE HCA_Encode(BSTR strData, VARIANT strPemTitle, BSTR* out) override {
        return answer(1, "HCA_Encode", out, {text(strData), ansi(strPemTitle)});
    }
    HRESULT STDMETHODCALLTYPE HCA_GetCardSN(BSTR* out) override {
        return answer(2, "HCA_GetCardSN", out, {});
    }
    HRESULT STDMETHODCALLTYPE HCA_GetCardType(BSTR readername, int* out) override {
        return answer(3, "HCA_GetCardType", out, {text(readername)});
    }
    HRESULT STDMETHODCALLTYPE HCA_GetCardInfo(VARIANT* out) override {
        return answer(4, "HCA_GetCardInfo", out, {});
    }
    HRESULT STDMETHODCALLTYPE HCA_GetCertSerialNumber(BSTR strCert, long iFlags,
                                                      BSTR* out) override {
        return answer(5, "HCA_GetCertSerialNumber", out, {text(strCert), number(iFlags)});
    }
    HRESULT STDMETHODCALLTYPE HCA_GetCertSubject(BSTR strCert, long iFlags, BSTR* out) override {
        return answer(6, "HCA_GetCertSubject", out, {text(strCert), number(iFlags)});
    }
    HRESULT STDMETHODCALLTYPE HCA_GetCertIssuer(BSTR strCert, long iFlags, BSTR* out) override {
        return answer(7, "HCA_GetCertIssuer", out, {text(strCert), number(iFlags)});
    }
    HRESULT STDMETHODCALLTYPE HCA_GetCertNotBefore(BSTR strCert, long iFlags, BSTR* out) override {
        return answer(8, "HCA_GetCertNotBefore", out, {text(strCert), number(iFlags)});
    }
    HRESULT STDMETHODCALLTYPE HCA_GetCertNotAfter(BSTR strCert, long iFlags, BSTR* out) override {
        return answer(9, "HCA_GetCertNotAfter", out, {text(strCert), number(iFlags)});
    }
    HRESULT STDMETHODCALLTYPE HCA_GetCertDigest(BSTR strCert, long iFlags, BSTR* out) override {
        return answer(10, "HCA_GetCertDigest", out, {text(strCert), number(iFlags)});
    }
    HRESULT STDMETHODCALLTYPE HCA_Verify(BSTR strCert, BSTR strSignature, BSTR pData, long iFlags,
                                         int* out) override {
        return answer(11, "HCA_Verify", out,
                      {text(strCert), text(strSignature), text(pData), number(iFlags)});
    }
    HRESULT STDMETHODCALLTYPE HCA_Decode(BSTR strEncoded, VARIANT strPemTitle, BSTR* out) override {
        return answer(12, "HCA_Decode", out, {text(strEncoded), ansi(strPemTitle)});
    }
    HRESULT STDMETHODCALLTYPE HCA_GetRecord(BSTR readername, BSTR strLabel, BSTR* out) override {
        return answer(13, "HCA_GetRecord", out, {text(readername), text(strLabel)});
    }
    HRESULT STDMETHODCALLTYPE HCA_ListReaders(VARIANT* out) override {
        return answer(14, "HCA_ListReaders", out, {});
    }
    HRESULT STDMETHODCALLTYPE HCA_GetHCBasicData(VARIANT* out) override {
        return answer(15, "HCA_GetHCBasicData", out, {});
    }
    HRESULT STDMETHODCALLTYPE HCA_GetReaderName(long flag, int* out) override {
        return answer(16, "HCA_GetReaderName", out, {number(flag)});
    }
    HRESULT STDMETHODCALLTYPE HCA_HPCBasicDataByReader(BSTR readername, int iFlags,
                                                       VARIANT* out) override {
        return answer(17, "HCA_HPCBasicDataByReader", out, {text(readername), number(iFlags)});
    }
    HRESULT STDMETHODCALLTYPE HCA_GetCertificateByReader(BSTR readername, BSTR pincode, int iFlags,
                                                         BSTR* out) override {
        return answer(18, "HCA_GetCertificateByReader", out,
                      {text(readername), text(pincode), number(iFlags)});
    }
    HRESULT STDMETHODCALLTYPE HCA_SignByReader(BSTR readername, BSTR pincode, BSTR bData,
                                               int iFlags, int iHashFlag, BSTR* out) override {
        return answer(
            19, "HCA_SignByReader", out,
            {text(readername), text(pincode), text(bData), number(iFlags), number(iHashFlag)});
    }
    HRESULT STDMETHODCALLTYPE HCA_GetHCBasicDataByReader(BSTR readername, int iFlags,
                                                         VARIANT* out) override {
        return answer(20, "HCA_GetHCBasicDataByReader", out, {text(readername), number(iFlags)});
    }
    HRESULT STDMETHODCALLTYPE HCA_GetReaderNames(int iFlags, VARIANT* out) override {
        return answer(21, "HCA_GetReaderNames", out, {number(iFlags)});
    }
    HRESULT STDMETHODCALLTYPE HCA_GetHOPBasicDataByReader(BSTR readername, int iFlags,
                                                          VARIANT* out) override {
        return answer(22, "HCA_GetHOPBasicDataByReader", out, {text(readername), number(iFlags)});
    }
    HRESULT STDMETHODCALLTYPE HCA_PureSignByReader(BSTR readername, BSTR pincode, BSTR bData,
                                                   int iFlags, int iHashFlag, BSTR* out) override {
        return answer(
            23, "HCA_PureSignByReader", out,
            {text(readername), text(pincode), text(bData), number(iFlags), number(iHashFlag)});
    }
    HRESULT STDMETHODCALLTYPE HCA_GetRetryCounter(int* out) override {
        return answer(24, "HCA_GetRetryCounter", out, {});
    }
    HRESULT STDMETHODCALLTYPE HCA_GetReaderNamesString(int iFlags, BSTR* out) override {
        return answer(25, "HCA_GetReaderNamesString", out, {number(iFlags)});
    }
    HRESULT STDMETHODCALLTYPE HCA_GetHOPBasicDataStringByReader(BSTR readername, int iFlags,
                                                                BSTR* out) override {
        return answer(26, "HCA_GetHOPBasicDataStringByReader", out,
                      {text(readername), number(iFlags)});
    }
    HRESULT STDMETHODCALLTYPE HCA_GetHCBasicDataStringByReader(BSTR readername, int iFlags,
                                                               BSTR* out) override {
        return answer(27, "HCA_GetHCBasicDataStringByReader", out,
                      {text(readername), number(iFlags)});
    }
    HRESULT STDMETHODCALLTYPE HCA_GetHPCBasicDataStringByReader(BSTR readername, int iFlags,
                                                                BSTR* out) override {
        return answer(28, "HCA_GetHPCBasicDataStringByReader", out,
                      {text(readername), number(iFlags)});
    }
    HRESULT STDMETHODCALLTYPE HCA_GetCardInfoByReader(BSTR readername, int iFlag,
                                                      VARIANT* out) override {
        return answer(29, "HCA_GetCardInfoByReader", out, {text(readername), number(iFlag)});
    }
    HRESULT STDMETHODCALLTYPE HCA_GeneratePKCS7(BSTR signature, BSTR cert, BSTR data, long flag,
                                                long iHashFlag, BSTR* out) override {
        return answer(30, "HCA_GeneratePKCS7", out,
                      {text(signature), text(cert), text(data), number(flag), number(iHashFlag)});
    }
    HRESULT STDMETHODCALLTYPE SetCodePage(long codepage) override {
        return answer(31, "SetCodePage", {number(codepage)});
    }
    HRESULT STDMETHODCALLTYPE HCA_Encrypt(BSTR strCert, BSTR bData, long iFlags,
                                          BSTR* out) override {
        return answer(32, "HCA_Encrypt", out, {text(strCert), text(bData), number(iFlags)});
    }
    HRESULT STDMETHODCALLTYPE HCA_DecryptByReader(BSTR readername, BSTR pincode, BSTR bCipher,
                                                  int iFlags, BSTR* out) override {
        return answer(33, "HCA_DecryptByReader", out,
                      {text(readername), text(pincode), text(bCipher), number(iFlags)});
    }
    HRESULT STDMETHODCALLTYPE HCA_SignInitByReader(BSTR readername, BSTR pincode,
                                                   int* out) override {
        return answer(34, "HCA_SignInitByReader", out, {text(readername), text(pincode)});
    }
    HRESULT STDMETHODCALLTYPE HCA_SignUpdate(BSTR bData, int iFlags, int iHashFlag,
                                             BSTR* out) override {
        return answer(35, "HCA_SignUpdate", out, {text(bData), number(iFlags), number(iHashFlag)});
    }
    HRESULT STDMETHODCALLTYPE HCA_SignFinal(int* out) override {
        return answer(36, "HCA_SignFinal", out, {});
    }
    HRESULT STDMETHODCALLTYPE HCA_XMLSignTemplateByReader(BSTR readername, BSTR pincode,
                                                          BSTR bstrXML, BSTR bstrSignId, int iFlags,
                                                          BSTR* out) override {
        return answer(
            37, "HCA_XMLSignTemplateByReader", out,
            {text(readername), text(pincode), text(bstrXML), text(bstrSignId), number(iFlags)});
    }
    HRESULT STDMETHODCALLTYPE HCA_XMLSignTemplateUpdate(BSTR bstrXML, BSTR bstrSignId, int iFlags,
                                                        BSTR* out) override {
        return answer(38, "HCA_XMLSignTemplateUpdate", out,
                      {text(bstrXML), text(bstrSignId), number(iFlags)});
    }
    HRESULT STDMETHODCALLTYPE HCA_XMLSignTemplate2FileByReader(BSTR readername, BSTR pincode,
                                                               BSTR bstrXML, BSTR bstrSignId,
                                                               BSTR bstrOutFIle, int iFlags,
                                                               int* out) override {
        return answer(39, "HCA_XMLSignTemplate2FileByReader", out,
                      {text(readername), text(pincode), text(bstrXML), text(bstrSignId),
                       text(bstrOutFIle), number(iFlags)});
    }
    HRESULT STDMETHODCALLTYPE HCA_XMLSignTemplate2FileUpdate(BSTR bstrXML, BSTR bstrSignId,
                                                             BSTR bstrOutFIle, int iFlags,
                                                             int* out) override {
        return answer(40, "HCA_XMLSignTemplate2FileUpdate", out,
                      {text(bstrXML), text(bstrSignId), text(bstrOutFIle), number(iFlags)});
    }
    HRESULT STDMETHODCALLTYPE HCA_PureSignUpdate(BSTR bData, int iFlags, int iHashFlag,
                                                 BSTR* out) override {
        return answer(41, "HCA_PureSignUpdate", out,
                      {text(bData), number(iFlags), number(iHashFlag)});
    }
    HRESULT STDMETHODCALLTYPE HCA_GetInitCertificate(BSTR* out) override {
        return answer(42, "HCA_GetInitCertificate", out, {});
    }
    HRESULT STDMETHODCALLTYPE DetectReplug(long iFlags, long iReplugTime, int* out) override {
        return answer(43, "DetectReplug", out, {number(iFlags), number(iReplugTime)});
    }
};

#pragma GCC diagnostic pop

#endif
