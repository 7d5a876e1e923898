#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <netfw.h>

#include "log/log.h"
#include "machine/machine.h"

namespace {

// NetFwPolicy2 and INetFwPolicy2: netfw.h declares them, but no library of
// every toolchain defines them, so the program carries its own copies.
constexpr CLSID NET_FW_POLICY2_CLASS = {0xE2B3C97F, 0x6AE1, 0x41AC, {0x81, 0x7A, 0xF6, 0xF9, 0x21, 0x66, 0xD7, 0xDD}};
constexpr IID NET_FW_POLICY2_INTERFACE = {0x98325047, 0xC671, 0x4174, {0x8D, 0x81, 0xDE, 0xFC, 0xD3, 0xF0, 0x31, 0x86}};

// Releases a COM interface on every path.
template <typename Interface>
struct com_ptr {
    Interface* p = nullptr;
    ~com_ptr()
    {
        if (p != nullptr) p->Release();
    }
};

// Releases a BSTR on every path.
struct bstr_owner {
    BSTR text;
    ~bstr_owner()
    {
        if (text != nullptr) SysFreeString(text);
    }
};

// Balances a CoInitializeEx that succeeded (S_OK or S_FALSE); after
// RPC_E_CHANGED_MODE the apartment is not ours to leave.
struct com_apartment {
    HRESULT result;
    ~com_apartment()
    {
        if (SUCCEEDED(result)) CoUninitialize();
    }
};

void remove_rules_named(INetFwRules* rules, const wchar_t* name)
{
    bstr_owner text{SysAllocString(name)};
    if (text.text == nullptr) return;
    // A rule name may be given to several rules; Remove takes one at a time.
    for (int call = 0; call < FIREWALL_REMOVE_LIMIT; ++call) {
        if (FAILED(rules->Remove(text.text))) break;
    }
}

}  // namespace

void remove_firewall_rules()
{
    com_apartment apartment{CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)};
    if (FAILED(apartment.result) && apartment.result != RPC_E_CHANGED_MODE) return;

    com_ptr<INetFwPolicy2> policy;
    if (FAILED(CoCreateInstance(NET_FW_POLICY2_CLASS, nullptr, CLSCTX_INPROC_SERVER, NET_FW_POLICY2_INTERFACE,
                                reinterpret_cast<void**>(&policy.p))) ||
        policy.p == nullptr) {
        return;
    }
    com_ptr<INetFwRules> rules;
    if (FAILED(policy.p->get_Rules(&rules.p)) || rules.p == nullptr) return;
    for (const wchar_t* name : firewall_rule_names) remove_rules_named(rules.p, name);
    log_line(L"firewall rules left by earlier installers removed (if there were any)");
}
