#include "trust/signature.h"

#include <windows.h>
#include <wincrypt.h>
#include <wintrust.h>
#include <softpub.h>

#include <cwchar>

#include "base/ascii_case.h"
#include "base/owners.h"
#include "base/paths.h"
#include "log/log.h"
#include "trust/own_image.h"
#include "trust/system_library.h"

namespace {

using win_verify_trust_function = decltype(&WinVerifyTrust);

// Releases what WinVerifyTrust built for a verification: the second call with
// the same data and WTD_STATEACTION_CLOSE.
class trust_state_guard {
public:
    trust_state_guard(win_verify_trust_function verify, GUID* action, WINTRUST_DATA* data) noexcept
        : verify_(verify), action_(action), data_(data)
    {
    }
    ~trust_state_guard()
    {
        data_->dwStateAction = WTD_STATEACTION_CLOSE;
        verify_(nullptr, action_, data_);  // its result tells nothing more
    }
    trust_state_guard(const trust_state_guard&) = delete;
    trust_state_guard& operator=(const trust_state_guard&) = delete;

private:
    win_verify_trust_function verify_;
    GUID* action_;
    WINTRUST_DATA* data_;
};

// The crypt32 calls that read a signer name, resolved from System32's copy.
struct crypt32_calls {
    decltype(&CryptQueryObject) query_object;
    decltype(&CryptMsgGetParam) message_parameter;
    decltype(&CryptMsgClose) close_message;
    decltype(&CertFindCertificateInStore) find_certificate;
    decltype(&CertGetNameStringW) name_string;
    decltype(&CertFreeCertificateContext) free_certificate;
    decltype(&CertCloseStore) close_store;
};

// Fills calls from crypt32; fails when any one of them is missing.
int resolve_crypt32(HMODULE crypt32, crypt32_calls* calls)
{
    calls->query_object = system_function<decltype(&CryptQueryObject)>(crypt32, "CryptQueryObject");
    calls->message_parameter = system_function<decltype(&CryptMsgGetParam)>(crypt32, "CryptMsgGetParam");
    calls->close_message = system_function<decltype(&CryptMsgClose)>(crypt32, "CryptMsgClose");
    calls->find_certificate =
        system_function<decltype(&CertFindCertificateInStore)>(crypt32, "CertFindCertificateInStore");
    calls->name_string = system_function<decltype(&CertGetNameStringW)>(crypt32, "CertGetNameStringW");
    calls->free_certificate =
        system_function<decltype(&CertFreeCertificateContext)>(crypt32, "CertFreeCertificateContext");
    calls->close_store = system_function<decltype(&CertCloseStore)>(crypt32, "CertCloseStore");
    return calls->query_object && calls->message_parameter && calls->close_message && calls->find_certificate &&
           calls->name_string && calls->free_certificate && calls->close_store;
}

// Closes the store and the message that CryptQueryObject opened.
class query_result_guard {
public:
    explicit query_result_guard(const crypt32_calls& calls) noexcept : calls_(calls) {}
    ~query_result_guard()
    {
        if (store != nullptr) calls_.close_store(store, 0);
        if (message != nullptr) calls_.close_message(message);
    }
    query_result_guard(const query_result_guard&) = delete;
    query_result_guard& operator=(const query_result_guard&) = delete;

    HCERTSTORE store = nullptr;
    HCRYPTMSG message = nullptr;

private:
    const crypt32_calls& calls_;
};

// Looks up the certificate named by signer (issuer and serial number) in store
// and copies its subject's simple display name into destination.
void copy_subject_name(const crypt32_calls& calls, HCERTSTORE store, const CMSG_SIGNER_INFO* signer,
                       wchar_t* destination, size_t capacity)
{
    CERT_INFO wanted = {};
    wanted.Issuer = signer->Issuer;
    wanted.SerialNumber = signer->SerialNumber;
    PCCERT_CONTEXT certificate = calls.find_certificate(store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                                        CERT_FIND_SUBJECT_CERT, &wanted, nullptr);
    if (certificate == nullptr) return;
    calls.name_string(certificate, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, destination,
                      static_cast<DWORD>(capacity));
    calls.free_certificate(certificate);
}

// True when name holds expected at any position, A to Z compared without case.
bool contains_ignoring_case(const wchar_t* name, const wchar_t* expected)
{
    size_t name_length = wcslen(name);
    size_t expected_length = wcslen(expected);
    if (name_length < expected_length) return false;
    for (size_t start = 0; start + expected_length <= name_length; ++start) {
        if (equal_ignoring_ascii_case(name + start, expected, expected_length)) return true;
    }
    return false;
}

// One verification of path, read through file when that is an open handle: no
// revocation check and nothing fetched over the network, so that the answer
// does not depend on a server the machine may not reach; the state is kept
// for the caller's WTD_STATEACTION_CLOSE.
void fill_trust_data(const wchar_t* path, HANDLE file, WINTRUST_FILE_INFO* file_info, WINTRUST_DATA* data)
{
    file_info->cbStruct = sizeof(*file_info);
    file_info->pcwszFilePath = path;
    file_info->hFile = (file == nullptr || file == INVALID_HANDLE_VALUE) ? nullptr : file;
    file_info->pgKnownSubject = nullptr;
    data->cbStruct = sizeof(*data);
    data->dwUIChoice = WTD_UI_NONE;
    data->fdwRevocationChecks = WTD_REVOKE_NONE;
    data->dwUnionChoice = WTD_CHOICE_FILE;
    data->pFile = file_info;
    data->dwStateAction = WTD_STATEACTION_VERIFY;
    data->dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL;
}

// The name of the first signer of the PKCS#7 signature that CryptQueryObject
// finds in object (a file path or a blob) as content, into destination.
void read_first_signer(DWORD object_type, const void* object, DWORD content, wchar_t* destination, size_t capacity)
{
    if (capacity == 0) return;
    destination[0] = 0;
    unique_module crypt32(load_system_library(L"crypt32.dll"));
    crypt32_calls calls = {};
    if (!crypt32 || !resolve_crypt32(crypt32.get(), &calls)) return;

    query_result_guard opened(calls);
    DWORD encoding = 0;
    DWORD content_type = 0;
    DWORD format_type = 0;
    if (!calls.query_object(object_type, object, content, CERT_QUERY_FORMAT_FLAG_BINARY, 0, &encoding,
                            &content_type, &format_type, &opened.store, &opened.message, nullptr)) {
        return;
    }
    DWORD size = 0;
    if (!calls.message_parameter(opened.message, CMSG_SIGNER_INFO_PARAM, 0, nullptr, &size) || size == 0) return;
    unique_local signer(LocalAlloc(LMEM_ZEROINIT, size));
    if (!signer) return;
    if (!calls.message_parameter(opened.message, CMSG_SIGNER_INFO_PARAM, 0, signer.get(), &size)) return;
    copy_subject_name(calls, opened.store, static_cast<const CMSG_SIGNER_INFO*>(signer.get()), destination,
                      capacity);
    destination[capacity - 1] = 0;
}

}  // namespace

int verify_signature(const wchar_t* path, HANDLE file)
{
    unique_module wintrust(load_system_library(L"wintrust.dll"));
    auto verify = system_function<win_verify_trust_function>(wintrust.get(), "WinVerifyTrust");
    if (verify == nullptr) return 0;

    WINTRUST_FILE_INFO file_info = {};
    WINTRUST_DATA data = {};
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    fill_trust_data(path, file, &file_info, &data);
    LONG status;
    {
        trust_state_guard state(verify, &action, &data);
        status = verify(nullptr, &action, &data);
    }
    return status == 0;
}

void signer_name(const wchar_t* path, wchar_t* destination, size_t capacity)
{
    read_first_signer(CERT_QUERY_OBJECT_FILE, path, CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED, destination,
                      capacity);
}

void signer_name_from_pkcs7(const unsigned char* bytes, unsigned long size, wchar_t* destination, size_t capacity)
{
    // Bare PKCS#7 bytes are "signed" content, not "signed, embedded in a file":
    // the embedded flag alone fails on a blob.
    CRYPT_DATA_BLOB blob = {size, const_cast<BYTE*>(bytes)};
    read_first_signer(CERT_QUERY_OBJECT_BLOB, &blob, CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED, destination, capacity);
}

int verified_signer(const wchar_t* path, HANDLE file, wchar_t* signer, size_t capacity)
{
    if (capacity == 0) return 0;
    signer[0] = 0;
    // Without a handle WinVerifyTrust would open the path itself: the bytes it
    // judged could then differ from the bytes the caller goes on to use.
    if (file == nullptr || file == INVALID_HANDLE_VALUE) return 0;
    unique_module wintrust(load_system_library(L"wintrust.dll"));
    auto verify = system_function<win_verify_trust_function>(wintrust.get(), "WinVerifyTrust");
    auto provider_data =
        system_function<decltype(&WTHelperProvDataFromStateData)>(wintrust.get(), "WTHelperProvDataFromStateData");
    auto provider_signer =
        system_function<decltype(&WTHelperGetProvSignerFromChain)>(wintrust.get(), "WTHelperGetProvSignerFromChain");
    unique_module crypt32(load_system_library(L"crypt32.dll"));
    auto name_string = system_function<decltype(&CertGetNameStringW)>(crypt32.get(), "CertGetNameStringW");
    if (verify == nullptr || provider_data == nullptr || provider_signer == nullptr || name_string == nullptr) {
        return 0;
    }

    WINTRUST_FILE_INFO file_info = {};
    WINTRUST_DATA data = {};
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    fill_trust_data(path, file, &file_info, &data);
    trust_state_guard state(verify, &action, &data);
    if (verify(nullptr, &action, &data) != 0) return 0;

    // The signer of the very signature just verified, from the same read of the file.
    CRYPT_PROVIDER_DATA* provider = provider_data(data.hWVTStateData);
    CRYPT_PROVIDER_SGNR* first = provider != nullptr ? provider_signer(provider, 0, FALSE, 0) : nullptr;
    if (first != nullptr && first->csCertChain > 0 && first->pasCertChain != nullptr &&
        first->pasCertChain[0].pCert != nullptr) {
        name_string(first->pasCertChain[0].pCert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, signer,
                    static_cast<DWORD>(capacity));
        signer[capacity - 1] = 0;
    }
    return 1;
}

signer_verdict same_signer_verdict(const wchar_t* dll_path, HANDLE dll, wchar_t* dll_signer)
{
    dll_signer[0] = 0;
    const wchar_t* own = L"";
    own_signer_state state = own_signer(&own);
    // An unsigned program (a development build) has no signer to hold DLLs to.
    if (state == own_signer_state::not_signed) return signer_verdict::accepted;
    // Signed, yet no name could be read from the proven file: accepting here
    // would let any DLL through whenever that file or crypt32 has a bad moment.
    if (state != own_signer_state::known) return signer_verdict::own_signer_unreadable;
    if (!verified_signer(dll_path, dll, dll_signer, SIGNER_CHARS)) return signer_verdict::not_valid;
    return same_ignoring_ascii_case(dll_signer, own) ? signer_verdict::accepted : signer_verdict::other_signer;
}

int check_same_signer(const wchar_t* dll_path, HANDLE dll)
{
    wchar_t dll_signer[SIGNER_CHARS];
    switch (same_signer_verdict(dll_path, dll, dll_signer)) {
    case signer_verdict::accepted:
        return 1;
    case signer_verdict::own_signer_unreadable:
        log_line(L"cannot read the signer of this program - refusing to register %ls", dll_path);
        return 0;
    case signer_verdict::not_valid:
        log_line(L"%ls does not carry a valid signature - refusing to register it", dll_path);
        return 0;
    case signer_verdict::other_signer:
        break;
    }
    const wchar_t* own = L"";
    own_signer(&own);
    log_line(L"%ls is signed by \"%ls\", not by \"%ls\" - refusing to register it", dll_path, dll_signer, own);
    return 0;
}

int check_vbcable_signer(const wchar_t* path, const wchar_t* image_path, HANDLE file)
{
    // Read first so that the refusal can name whoever signed it. The name is read
    // by image_path, the path of the held file, not by a path whose folders could
    // lead elsewhere by now.
    wchar_t signer[SIGNER_CHARS];
    signer_name(image_path, signer, SIGNER_CHARS);
    if (verify_signature(image_path, file) && (contains_ignoring_case(signer, VBCABLE_SIGNER_SURNAME_FIRST) ||
                                         contains_ignoring_case(signer, VBCABLE_SIGNER_GIVEN_NAME_FIRST))) {
        return 1;
    }
    log_line(L"VB-CABLE setup in %ls is not VB-Audio's signed binary (signer \"%ls\")", path, signer);
    return 0;
}
