#include "trust/signature.h"

#include <windows.h>
#include <wincrypt.h>
#include <wintrust.h>
#include <softpub.h>

#include <cwchar>

#include "base/ascii_case.h"
#include "base/paths.h"
#include "log/log.h"
#include "base/owners.h"
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

// True when the running program's own image has a certificate table, read from
// its headers as mapped into this process, which cannot fail to be there.
bool own_image_carries_signature()
{
    const auto* image = reinterpret_cast<const BYTE*>(GetModuleHandleW(nullptr));
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(image + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& certificates = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_SECURITY];
    return certificates.VirtualAddress != 0 || certificates.Size != 0;
}

}  // namespace

int verify_signature(const wchar_t* path, HANDLE file)
{
    unique_module wintrust(load_system_library(L"wintrust.dll"));
    auto verify = system_function<win_verify_trust_function>(wintrust.get(), "WinVerifyTrust");
    if (verify == nullptr) return 0;

    WINTRUST_FILE_INFO file_info = {};
    file_info.cbStruct = sizeof(file_info);
    file_info.pcwszFilePath = path;
    file_info.hFile = (file == nullptr || file == INVALID_HANDLE_VALUE) ? nullptr : file;
    file_info.pgKnownSubject = nullptr;

    WINTRUST_DATA data = {};
    data.cbStruct = sizeof(data);
    data.dwUIChoice = WTD_UI_NONE;
    // No revocation check and nothing fetched over the network: the answer must
    // not depend on a server the machine may not reach.
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file_info;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    data.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL;

    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    LONG status;
    {
        trust_state_guard state(verify, &action, &data);
        status = verify(nullptr, &action, &data);
    }
    return status == 0;
}

void signer_name(const wchar_t* path, wchar_t* destination, size_t capacity)
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
    if (!calls.query_object(CERT_QUERY_OBJECT_FILE, path, CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED,
                            CERT_QUERY_FORMAT_FLAG_BINARY, 0, &encoding, &content_type, &format_type,
                            &opened.store, &opened.message, nullptr)) {
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

int check_same_signer(const wchar_t* dll_path)
{
    wchar_t own_path[PATH_CHARS];
    DWORD length = GetModuleFileNameW(nullptr, own_path, PATH_CHARS);
    // A cut path would name some other file.
    if (length == 0 || length >= PATH_CHARS) return 0;

    // An unsigned program (a development build) has no signer to hold DLLs to.
    if (!own_image_carries_signature()) return 1;
    wchar_t own_signer[SIGNER_CHARS];
    signer_name(own_path, own_signer, SIGNER_CHARS);
    // Signed, yet no name came back: accepting here would let any DLL through
    // whenever crypt32 or the file read has a bad moment.
    if (own_signer[0] == 0) {
        log_line(L"cannot read the signer of this program - refusing to register %ls", dll_path);
        return 0;
    }

    if (!verify_signature(dll_path, nullptr)) {
        log_line(L"%ls does not carry a valid signature - refusing to register it", dll_path);
        return 0;
    }
    wchar_t dll_signer[SIGNER_CHARS];
    signer_name(dll_path, dll_signer, SIGNER_CHARS);
    if (same_ignoring_ascii_case(dll_signer, own_signer)) return 1;
    log_line(L"%ls is signed by \"%ls\", not by \"%ls\" - refusing to register it", dll_path, dll_signer,
             own_signer);
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
