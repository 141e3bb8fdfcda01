// What the tests expect of the HCA adapter's 44 rows: index, name, argument keys in order with
// their kinds ('s' text, 'a' ANSI text in a VARIANT, 'i' integer) and the result kind ('T' text,
// 'D' decimal, 'L' list, 'N' none). Written for the tests from the method list on its own.
#ifndef QM_TESTS_ADAPTERS_HCAROWS_H
#define QM_TESTS_ADAPTERS_HCAROWS_H

#include <utility>
#include <vector>

struct HcaRow {
    int index;
    const char* name;
    std::vector<std::pair<char, const char*>> args;
    char result;
};

inline const std::vector<HcaRow>& hcaRows() {
    static const std::vector<HcaRow> rows = {
        {0, "HCA_GetErrorCode", {}, 'D'},
        {1, "HCA_Encode", {{'s', "strData"}, {'a', "strPemTitle"}}, 'T'},
        {2, "HCA_GetCardSN", {}, 'T'},
        {3, "HCA_GetCardType", {{'s', "readername"}}, 'D'},
        {4, "HCA_GetCardInfo", {}, 'L'},
        {5, "HCA_GetCertSerialNumber", {{'s', "strCert"}, {'i', "iFlags"}}, 'T'},
        {6, "HCA_GetCertSubject", {{'s', "strCert"}, {'i', "iFlags"}}, 'T'},
        {7, "HCA_GetCertIssuer", {{'s', "strCert"}, {'i', "iFlags"}}, 'T'},
        {8, "HCA_GetCertNotBefore", {{'s', "strCert"}, {'i', "iFlags"}}, 'T'},
        {9, "HCA_GetCertNotAfter", {{'s', "strCert"}, {'i', "iFlags"}}, 'T'},
        {10, "HCA_GetCertDigest", {{'s', "strCert"}, {'i', "iFlags"}}, 'T'},
        {11,
         "HCA_Verify",
         {{'s', "strCert"}, {'s', "strSignature"}, {'s', "pData"}, {'i', "iFlags"}},
         'D'},
        {12, "HCA_Decode", {{'s', "strEncoded"}, {'a', "strPemTitle"}}, 'T'},
        {13, "HCA_GetRecord", {{'s', "readername"}, {'s', "strLabel"}}, 'T'},
        {14, "HCA_ListReaders", {}, 'L'},
        {15, "HCA_GetHCBasicData", {}, 'L'},
        {16, "HCA_GetReaderName", {{'i', "flag"}}, 'D'},
        {17, "HCA_HPCBasicDataByReader", {{'s', "readername"}, {'i', "iFlags"}}, 'L'},
        {18,
         "HCA_GetCertificateByReader",
         {{'s', "readername"}, {'s', "pincode"}, {'i', "iFlags"}},
         'T'},
        {19,
         "HCA_SignByReader",
         {{'s', "readername"},
          {'s', "pincode"},
          {'s', "bData"},
          {'i', "iFlags"},
          {'i', "iHashFlag"}},
         'T'},
        {20, "HCA_GetHCBasicDataByReader", {{'s', "readername"}, {'i', "iFlags"}}, 'L'},
        {21, "HCA_GetReaderNames", {{'i', "iFlags"}}, 'L'},
        {22, "HCA_GetHOPBasicDataByReader", {{'s', "readername"}, {'i', "iFlags"}}, 'L'},
        {23,
         "HCA_PureSignByReader",
         {{'s', "readername"},
          {'s', "pincode"},
          {'s', "bData"},
          {'i', "iFlags"},
          {'i', "iHashFlag"}},
         'T'},
        {24, "HCA_GetRetryCounter", {}, 'D'},
        {25, "HCA_GetReaderNamesString", {{'i', "iFlags"}}, 'T'},
        {26, "HCA_GetHOPBasicDataStringByReader", {{'s', "readername"}, {'i', "iFlags"}}, 'T'},
        {27, "HCA_GetHCBasicDataStringByReader", {{'s', "readername"}, {'i', "iFlags"}}, 'T'},
        {28, "HCA_GetHPCBasicDataStringByReader", {{'s', "readername"}, {'i', "iFlags"}}, 'T'},
        {29, "HCA_GetCardInfoByReader", {{'s', "readername"}, {'i', "iFlag"}}, 'L'},
        {30,
         "HCA_GeneratePKCS7",
         {{'s', "signature"}, {'s', "cert"}, {'s', "data"}, {'i', "flag"}, {'i', "iHashFlag"}},
         'T'},
        {31, "SetCodePage", {{'i', "codepage"}}, 'N'},
        {32, "HCA_Encrypt", {{'s', "strCert"}, {'s', "bData"}, {'i', "iFlags"}}, 'T'},
        {33,
         "HCA_DecryptByReader",
         {{'s', "readername"}, {'s', "pincode"}, {'s', "bCipher"}, {'i', "iFlags"}},
         'T'},
        {34, "HCA_SignInitByReader", {{'s', "readername"}, {'s', "pincode"}}, 'D'},
        {35, "HCA_SignUpdate", {{'s', "bData"}, {'i', "iFlags"}, {'i', "iHashFlag"}}, 'T'},
        {36, "HCA_SignFinal", {}, 'D'},
        {37,
         "HCA_XMLSignTemplateByReader",
         {{'s', "readername"},
          {'s', "pincode"},
          {'s', "bstrXML"},
          {'s', "bstrSignId"},
          {'i', "iFlags"}},
         'T'},
        {38,
         "HCA_XMLSignTemplateUpdate",
         {{'s', "bstrXML"}, {'s', "bstrSignId"}, {'i', "iFlags"}},
         'T'},
        {39,
         "HCA_XMLSignTemplate2FileByReader",
         {{'s', "readername"},
          {'s', "pincode"},
          {'s', "bstrXML"},
          {'s', "bstrSignId"},
          {'s', "bstrOutFIle"},
          {'i', "iFlags"}},
         'D'},
        {40,
         "HCA_XMLSignTemplate2FileUpdate",
         {{'s', "bstrXML"}, {'s', "bstrSignId"}, {'s', "bstrOutFIle"}, {'i', "iFlags"}},
         'D'},
        {41, "HCA_PureSignUpdate", {{'s', "bData"}, {'i', "iFlags"}, {'i', "iHashFlag"}}, 'T'},
        {42, "HCA_GetInitCertificate", {}, 'T'},
        {43, "DetectReplug", {{'i', "iFlags"}, {'i', "iReplugTime"}}, 'D'},
    };
    return rows;
}

#endif
