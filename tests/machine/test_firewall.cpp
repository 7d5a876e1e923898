// Stands in for the Windows Firewall policy object (NetFwPolicy2) in the tests'
// Wine prefix, never shipped: an in-process COM server that the tests register
// for that class id. Wine's own answers S_OK to every Remove, so a stand-in is
// the only way to count the calls or make them fail. Driven by two variables of
// the environment of the process that loads it:
//   MIRVO_TEST_FIREWALL_RECORD  file that gets one line "remove NAME" per Remove call
//   MIRVO_TEST_FIREWALL_MODE    "succeed" (default), "fail" (every Remove fails),
//                               "no-rules" (get_Rules fails), "no-object" (no class object)
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <netfw.h>

#include <cstring>
#include <cwchar>

namespace {

LONG live_objects = 0;

bool mode_is(const wchar_t* mode)
{
    wchar_t value[64];
    DWORD n = GetEnvironmentVariableW(L"MIRVO_TEST_FIREWALL_MODE", value, 64);
    if (n == 0 || n >= 64) return wcscmp(mode, L"succeed") == 0;
    return wcscmp(value, mode) == 0;
}

void record_remove(BSTR name)
{
    wchar_t path[1024];
    DWORD n = GetEnvironmentVariableW(L"MIRVO_TEST_FIREWALL_RECORD", path, 1024);
    if (n == 0 || n >= 1024) return;
    HANDLE file = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    char line[600] = "remove ";
    int used = 7;
    int bytes = WideCharToMultiByte(CP_UTF8, 0, name != nullptr ? name : L"", -1, line + used, 512, nullptr, nullptr);
    used += bytes > 0 ? bytes - 1 : 0;
    line[used++] = '\n';
    DWORD written = 0;
    WriteFile(file, line, static_cast<DWORD>(used), &written, nullptr);
    CloseHandle(file);
}

// IUnknown and IDispatch for one interface; every other method is not implemented.
template <typename Interface>
class dispatch_object : public Interface {
public:
    dispatch_object() { InterlockedIncrement(&live_objects); }
    virtual ~dispatch_object() { InterlockedDecrement(&live_objects); }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override
    {
        if (iid == IID_IUnknown || iid == IID_IDispatch || iid == __uuidof(Interface)) {
            *out = static_cast<Interface*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&references_)); }
    ULONG STDMETHODCALLTYPE Release() override
    {
        LONG left = InterlockedDecrement(&references_);
        if (left == 0) delete this;
        return static_cast<ULONG>(left);
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override
    {
        return E_NOTIMPL;
    }

private:
    LONG references_ = 1;
};

class rules_object : public dispatch_object<INetFwRules> {
public:
    HRESULT STDMETHODCALLTYPE get_Count(LONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Add(INetFwRule*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Remove(BSTR name) override
    {
        record_remove(name);
        return mode_is(L"fail") ? HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) : S_OK;
    }
    HRESULT STDMETHODCALLTYPE Item(BSTR, INetFwRule**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get__NewEnum(IUnknown**) override { return E_NOTIMPL; }
};

class policy_object : public dispatch_object<INetFwPolicy2> {
public:
    HRESULT STDMETHODCALLTYPE get_Rules(INetFwRules** rules) override
    {
        *rules = nullptr;
        if (mode_is(L"no-rules")) return E_ACCESSDENIED;
        *rules = new rules_object;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_CurrentProfileTypes(LONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_FirewallEnabled(NET_FW_PROFILE_TYPE2, VARIANT_BOOL*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_FirewallEnabled(NET_FW_PROFILE_TYPE2, VARIANT_BOOL) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_ExcludedInterfaces(NET_FW_PROFILE_TYPE2, VARIANT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_ExcludedInterfaces(NET_FW_PROFILE_TYPE2, VARIANT) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_BlockAllInboundTraffic(NET_FW_PROFILE_TYPE2, VARIANT_BOOL*) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE put_BlockAllInboundTraffic(NET_FW_PROFILE_TYPE2, VARIANT_BOOL) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE get_NotificationsDisabled(NET_FW_PROFILE_TYPE2, VARIANT_BOOL*) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE put_NotificationsDisabled(NET_FW_PROFILE_TYPE2, VARIANT_BOOL) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE get_UnicastResponsesToMulticastBroadcastDisabled(NET_FW_PROFILE_TYPE2,
                                                                               VARIANT_BOOL*) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE put_UnicastResponsesToMulticastBroadcastDisabled(NET_FW_PROFILE_TYPE2,
                                                                               VARIANT_BOOL) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE get_ServiceRestriction(INetFwServiceRestriction**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE EnableRuleGroup(LONG, BSTR, VARIANT_BOOL) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE IsRuleGroupEnabled(LONG, BSTR, VARIANT_BOOL*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE RestoreLocalFirewallDefaults() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_DefaultInboundAction(NET_FW_PROFILE_TYPE2, NET_FW_ACTION*) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE put_DefaultInboundAction(NET_FW_PROFILE_TYPE2, NET_FW_ACTION) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE get_DefaultOutboundAction(NET_FW_PROFILE_TYPE2, NET_FW_ACTION*) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE put_DefaultOutboundAction(NET_FW_PROFILE_TYPE2, NET_FW_ACTION) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE get_IsRuleGroupCurrentlyEnabled(BSTR, VARIANT_BOOL*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_LocalPolicyModifyState(NET_FW_MODIFY_STATE*) override { return E_NOTIMPL; }
};

class factory_object : public IClassFactory {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override
    {
        if (iid == IID_IUnknown || iid == IID_IClassFactory) {
            *out = static_cast<IClassFactory*>(this);
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override
    {
        *out = nullptr;
        if (outer != nullptr) return CLASS_E_NOAGGREGATION;
        policy_object* policy = new policy_object;
        HRESULT result = policy->QueryInterface(iid, out);
        policy->Release();
        return result;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

factory_object factory;

}  // namespace

extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID, REFIID iid, void** out)
{
    *out = nullptr;
    if (mode_is(L"no-object")) return CLASS_E_CLASSNOTAVAILABLE;
    return factory.QueryInterface(iid, out);
}

extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE DllCanUnloadNow()
{
    return live_objects == 0 ? S_OK : S_FALSE;
}
