#include "framework/NamedObject.h"

#include <aclapi.h>
#include <sddl.h>

#include <vector>

namespace {

// What LocalAlloc gave (SIDs and descriptors from the SDDL and security calls), freed once.
template <class T>
class LocalMemory {
public:
    ~LocalMemory()
    {
        if (m_p) ::LocalFree(m_p);
    }
    T* out() { return &m_p; }
    T get() const { return m_p; }

private:
    T m_p = nullptr;
};

// This process's user and default owner, as the token has them.
class TokenSids {
public:
    TokenSids()
    {
        HANDLE raw = nullptr;
        if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &raw)) return;
        const UniqueHandle token(raw);
        m_user = Query(token.get(), TokenUser);
        m_owner = Query(token.get(), TokenOwner);
    }
    PSID User() const { return m_user.empty() ? nullptr : reinterpret_cast<const TOKEN_USER*>(m_user.data())->User.Sid; }
    PSID Owner() const
    {
        return m_owner.empty() ? nullptr : reinterpret_cast<const TOKEN_OWNER*>(m_owner.data())->Owner;
    }

private:
    static std::vector<BYTE> Query(HANDLE token, TOKEN_INFORMATION_CLASS what)
    {
        DWORD size = 0;
        ::GetTokenInformation(token, what, nullptr, 0, &size);
        std::vector<BYTE> info(size);
        if (size == 0 || !::GetTokenInformation(token, what, info.data(), size, &size)) info.clear();
        return info;
    }

    std::vector<BYTE> m_user, m_owner;
};

bool IsWellKnown(PSID sid, WELL_KNOWN_SID_TYPE type)
{
    BYTE known[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof known;
    return ::CreateWellKnownSid(type, nullptr, known, &size) && ::EqualSid(sid, known);
}

// Owned by this user, this user's default owner, SYSTEM or Administrators.
bool OwnedByUs(HANDLE object, DWORD* error)
{
    PSID owner = nullptr;
    LocalMemory<PSECURITY_DESCRIPTOR> descriptor;
    *error = ::GetSecurityInfo(object, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                               descriptor.out());
    if (*error != ERROR_SUCCESS) return false;
    if (!owner || !::IsValidSid(owner)) {
        *error = ERROR_INVALID_OWNER;
        return false;
    }
    const TokenSids us;
    if ((us.User() && ::EqualSid(owner, us.User())) || (us.Owner() && ::EqualSid(owner, us.Owner())) ||
        IsWellKnown(owner, WinLocalSystemSid) || IsWellKnown(owner, WinBuiltinAdministratorsSid))
        return true;
    *error = ERROR_INVALID_OWNER;
    return false;
}

// Full access for this user, SYSTEM and Administrators, and for nobody else; not inherited.
class OurDescriptor {
public:
    OurDescriptor()
    {
        const TokenSids us;
        LocalMemory<LPWSTR> user;
        if (!us.User() || !::ConvertSidToStringSidW(us.User(), user.out())) return;
        const std::wstring sddl = std::wstring(L"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GA;;;") + user.get() + L")";
        if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, m_descriptor.out(),
                                                                    nullptr))
            return;
        m_attributes.nLength = sizeof m_attributes;
        m_attributes.lpSecurityDescriptor = m_descriptor.get();
        m_attributes.bInheritHandle = FALSE;
    }
    SECURITY_ATTRIBUTES* get() { return m_descriptor.get() ? &m_attributes : nullptr; }

private:
    LocalMemory<PSECURITY_DESCRIPTOR> m_descriptor;
    SECURITY_ATTRIBUTES m_attributes{};
};

// An object that is open: ours, or not ours and let go.
NamedObject Judge(UniqueHandle handle, NameVerdict ifOurs)
{
    NamedObject result;
    if (OwnedByUs(handle.get(), &result.error)) {
        result.handle = std::move(handle);
        result.verdict = ifOurs;
        result.error = 0;
    } else {
        result.verdict = NameVerdict::NotOurs;
    }
    return result;
}

// A failed make or open: a name that is there but shut to us is not ours; any other failure
// is only a failure.
NamedObject Refused(DWORD error)
{
    NamedObject result;
    result.verdict = error == ERROR_ACCESS_DENIED ? NameVerdict::NotOurs : NameVerdict::Failed;
    result.error = error;
    return result;
}

}  // namespace

NamedObject CreateNamedObject(NamedKind kind, const std::wstring& name, bool signaled)
{
    OurDescriptor descriptor;
    if (!descriptor.get()) {
        NamedObject failed;
        failed.error = ERROR_INVALID_SECURITY_DESCR;
        return failed;
    }
    UniqueHandle handle(kind == NamedKind::Event ? ::CreateEventW(descriptor.get(), TRUE, signaled, name.c_str())
                                                 : ::CreateMutexW(descriptor.get(), FALSE, name.c_str()));
    const DWORD error = ::GetLastError();
    if (!handle) return Refused(error);
    if (error != ERROR_ALREADY_EXISTS) {
        NamedObject made;
        made.handle = std::move(handle);
        made.verdict = NameVerdict::Made;
        return made;
    }
    return Judge(std::move(handle), NameVerdict::Ours);
}

NamedObject OpenNamedObject(NamedKind kind, const std::wstring& name)
{
    const DWORD access = SYNCHRONIZE | READ_CONTROL | (kind == NamedKind::Event ? EVENT_MODIFY_STATE : 0);
    UniqueHandle handle(kind == NamedKind::Event ? ::OpenEventW(access, FALSE, name.c_str())
                                                 : ::OpenMutexW(access, FALSE, name.c_str()));
    if (!handle) {
        const DWORD error = ::GetLastError();
        if (error != ERROR_FILE_NOT_FOUND) return Refused(error);
        NamedObject absent;
        absent.verdict = NameVerdict::Absent;
        return absent;
    }
    return Judge(std::move(handle), NameVerdict::Ours);
}
