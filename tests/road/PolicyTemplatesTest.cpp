// The administrative templates, read with Windows' own XML parser: well-formed, every string
// in every language, and every policy exactly a setting the programs read (policy/Policies.h).
// Then each policy set in the registry as Group Policy sets it from the template (its key,
// value names, types and values taken from the ADMX alone), and romflash (and, for the log
// folder, the wizard) doing what the policy's text says.
#include <msxml2.h>
#include <objbase.h>

#include <algorithm>
#include <set>

#include "framework/Handles.h"
#include "policy/Policies.h"
#include "tests/road/Road.h"

namespace {

const CLSID kDomDocument30 = {0xf5078f32, 0xc551, 0x11d3, {0x89, 0xb9, 0x00, 0x00, 0xf8, 0x1f, 0xe2, 0x21}};
const IID kDomDocument2 = {0x2933bf95, 0x7b36, 0x11d2, {0xb2, 0x0e, 0x00, 0xc0, 0x4f, 0x98, 0x3e, 0x60}};
const IID kDomElement = {0x2933bf86, 0x7b36, 0x11d2, {0xb2, 0x0e, 0x00, 0xc0, 0x4f, 0x98, 0x3e, 0x60}};
const wchar_t* const kLanguages[] = {L"en-US", L"de-DE", L"fr-FR", L"es-ES", L"zh-CN", L"ja-JP"};

template <class T>
class Com {
public:
    Com() = default;
    ~Com()
    {
        if (m_p) m_p->Release();
    }
    Com(Com&& o) noexcept : m_p(o.m_p) { o.m_p = nullptr; }
    Com(const Com&) = delete;
    Com& operator=(const Com&) = delete;
    T** out() { return &m_p; }
    T* operator->() const { return m_p; }
    T* get() const { return m_p; }
    explicit operator bool() const { return m_p != nullptr; }

private:
    T* m_p = nullptr;
};

class Bstr {
public:
    explicit Bstr(const std::wstring& text) : m_b(::SysAllocString(text.c_str())) {}
    Bstr() = default;
    ~Bstr() { ::SysFreeString(m_b); }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    BSTR get() const { return m_b; }
    BSTR* out() { return &m_b; }
    std::wstring str() const { return m_b ? std::wstring(m_b, ::SysStringLen(m_b)) : std::wstring(); }

private:
    BSTR m_b = nullptr;
};

using Node = Com<IXMLDOMNode>;

// A template file, parsed; `error` says why not.
struct Xml {
    Com<IXMLDOMDocument2> doc;
    std::wstring error;
};

Xml Load(const std::wstring& path)
{
    static const HRESULT com = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);  // for the test's thread, once
    (void)com;
    Xml xml;
    if (FAILED(::CoCreateInstance(kDomDocument30, nullptr, CLSCTX_INPROC_SERVER, kDomDocument2,
                                  reinterpret_cast<void**>(xml.doc.out())))) {
        xml.error = L"no XML parser";
        return xml;
    }
    xml.doc->put_async(VARIANT_FALSE);
    xml.doc->put_validateOnParse(VARIANT_FALSE);
    VARIANT file;
    ::VariantInit(&file);
    file.vt = VT_BSTR;
    file.bstrVal = ::SysAllocString(path.c_str());
    VARIANT_BOOL loaded = VARIANT_FALSE;
    xml.doc->load(file, &loaded);
    ::VariantClear(&file);
    if (loaded != VARIANT_TRUE) {
        Com<IXMLDOMParseError> parse;
        Bstr reason;
        long line = 0;
        if (SUCCEEDED(xml.doc->get_parseError(parse.out())) && parse) {
            parse->get_reason(reason.out());
            parse->get_line(&line);
        }
        xml.error = path + L": line " + std::to_wstring(line) + L": " + reason.str();
        return xml;
    }
    auto set = [&](const wchar_t* name, const wchar_t* value) {
        VARIANT v;
        ::VariantInit(&v);
        v.vt = VT_BSTR;
        v.bstrVal = ::SysAllocString(value);
        xml.doc->setProperty(Bstr(name).get(), v);
        ::VariantClear(&v);
    };
    set(L"SelectionLanguage", L"XPath");
    set(L"SelectionNamespaces", L"xmlns:p='http://schemas.microsoft.com/GroupPolicy/2006/07/PolicyDefinitions'");
    return xml;
}

std::vector<Node> Select(IXMLDOMNode* from, const std::wstring& xpath)
{
    std::vector<Node> nodes;
    Com<IXMLDOMNodeList> list;
    if (FAILED(from->selectNodes(Bstr(xpath).get(), list.out())) || !list) return nodes;
    for (;;) {
        Node node;
        if (list->nextNode(node.out()) != S_OK || !node) break;
        nodes.push_back(std::move(node));
    }
    return nodes;
}

std::vector<Node> Select(const Xml& xml, const std::wstring& xpath)
{
    return Select(reinterpret_cast<IXMLDOMNode*>(xml.doc.get()), xpath);
}

// An attribute's value; `missing` when there is none.
std::wstring Attribute(IXMLDOMNode* node, const wchar_t* name, const wchar_t* missing = L"")
{
    Com<IXMLDOMElement> element;
    if (FAILED(node->QueryInterface(kDomElement, reinterpret_cast<void**>(element.out())))) return missing;
    VARIANT v;
    ::VariantInit(&v);
    std::wstring value = missing;
    if (element->getAttribute(Bstr(name).get(), &v) == S_OK && v.vt == VT_BSTR) value = v.bstrVal;
    ::VariantClear(&v);
    return value;
}

std::wstring Text(IXMLDOMNode* node)
{
    Bstr text;
    node->get_text(text.out());
    return text.str();
}

std::wstring Folder() { return robot::ToWindowsPath(L"" POLICY_DEFINITIONS_DIR); }
std::wstring Admx() { return Folder() + L"\\RomUpgradeWizard.admx"; }
std::wstring Adml(const wchar_t* language) { return Folder() + L"\\" + language + L"\\RomUpgradeWizard.adml"; }

// "$(string.X)" -> X, for the kind asked ("string" or "presentation").
std::wstring Reference(const std::wstring& text, const std::wstring& kind)
{
    const std::wstring head = L"$(" + kind + L".";
    if (text.rfind(head, 0) != 0 || text.back() != L')') return L"";
    return text.substr(head.size(), text.size() - head.size() - 1);
}

// What a policy's element writes, by the template's rules.
struct Written {
    std::wstring key, valueName;  // valueName empty for a list: values 1, 2, ... of the key
    DWORD type = REG_NONE;
};

Written WhatItWrites(IXMLDOMNode* policy)
{
    Written w;
    const std::wstring key = Attribute(policy, L"key");
    if (!Select(policy, L"p:enabledValue/p:decimal").empty()) return {key, Attribute(policy, L"valueName"), REG_DWORD};
    for (const Node& list : Select(policy, L"p:elements/p:list")) {
        // valuePrefix="" names the values 1, 2, ...; with no prefix a value would be named
        // after its own text, and with explicitValue by the administrator.
        if (Attribute(list.get(), L"valuePrefix", L"(none)") != L"" || Attribute(list.get(), L"explicitValue") == L"true")
            return {Attribute(list.get(), L"key", key.c_str()), L"(names other than 1, 2, ...)", REG_SZ};
        return {Attribute(list.get(), L"key", key.c_str()), L"",
                Attribute(list.get(), L"expandable") == L"true" ? static_cast<DWORD>(REG_EXPAND_SZ) : REG_SZ};
    }
    for (const Node& text : Select(policy, L"p:elements/p:text"))
        return {Attribute(text.get(), L"key", key.c_str()), Attribute(text.get(), L"valueName"),
                Attribute(text.get(), L"expandable") == L"true" ? static_cast<DWORD>(REG_EXPAND_SZ) : REG_SZ};
    return w;
}

TEST(PolicyTemplates, AreWellFormedAndEveryLanguageSaysEveryString)
{
    const Xml admx = Load(Admx());
    ASSERT_TRUE(admx.error.empty()) << Utf8(admx.error);
    // Every string and presentation the ADMX names, and the element ids each presentation shows.
    std::set<std::wstring> strings, presentations;
    for (const Node& node : Select(admx, L"//@displayName | //@explainText"))
        strings.insert(Reference(Text(node.get()), L"string"));
    for (const Node& node : Select(admx, L"//p:policy/@presentation"))
        presentations.insert(Reference(Text(node.get()), L"presentation"));
    std::set<std::wstring> elements;
    for (const Node& node : Select(admx, L"//p:policy/p:elements/*/@id")) elements.insert(Text(node.get()));
    ASSERT_EQ(strings.count(L""), 0u) << "a display name or explanation that is not a string of the ADML";
    ASSERT_GE(strings.size(), 8u);
    ASSERT_EQ(presentations.size(), 2u);

    for (const wchar_t* language : kLanguages) {
        SCOPED_TRACE(Utf8(language));
        const Xml adml = Load(Adml(language));
        ASSERT_TRUE(adml.error.empty()) << Utf8(adml.error);
        std::set<std::wstring> said, shown, refs;
        for (const Node& s : Select(adml, L"//p:stringTable/p:string")) {
            EXPECT_TRUE(said.insert(Attribute(s.get(), L"id")).second) << "twice: " << Utf8(Attribute(s.get(), L"id"));
            EXPECT_FALSE(Text(s.get()).empty()) << Utf8(Attribute(s.get(), L"id"));
        }
        for (const Node& p : Select(adml, L"//p:presentationTable/p:presentation")) {
            shown.insert(Attribute(p.get(), L"id"));
            for (const Node& part : Select(p.get(), L"*")) {
                refs.insert(Attribute(part.get(), L"refId"));
                EXPECT_FALSE(Text(part.get()).empty()) << "an unlabelled box in " << Utf8(Attribute(p.get(), L"id"));
            }
        }
        EXPECT_EQ(said, strings);
        EXPECT_EQ(shown, presentations);
        EXPECT_EQ(refs, elements) << "each box shows one element of the policy";
    }
}

TEST(PolicyTemplates, DescribeExactlyTheSettingsTheProgramsRead)
{
    const Xml admx = Load(Admx());
    ASSERT_TRUE(admx.error.empty()) << Utf8(admx.error);
    std::set<std::wstring> described;
    for (const Node& policy : Select(admx, L"//p:policies/p:policy")) {
        const std::wstring name = Attribute(policy.get(), L"name");
        SCOPED_TRACE(Utf8(name));
        EXPECT_TRUE(described.insert(name).second) << "described twice";
        EXPECT_EQ(Attribute(policy.get(), L"class"), L"Machine") << "the programs read HKEY_LOCAL_MACHINE alone";
        const auto setting = std::find_if(std::begin(policy::kAll), std::end(policy::kAll),
                                          [&](const policy::Setting& s) { return name == s.name; });
        ASSERT_NE(setting, std::end(policy::kAll)) << "a policy the programs do not read";
        const Written w = WhatItWrites(policy.get());
        EXPECT_EQ(w.key, setting->key);
        EXPECT_EQ(w.valueName, setting->valueName ? setting->valueName : L"");
        EXPECT_EQ(w.type, setting->type);
    }
    for (const policy::Setting& s : policy::kAll) EXPECT_EQ(described.count(s.name), 1u) << Utf8(s.name);
}

// The registry as Group Policy leaves it for one policy of the template: enabled with
// `values` (for its list or text), or disabled.
class GroupPolicy {
public:
    explicit GroupPolicy(const Xml& admx) : m_admx(admx) {}
    ~GroupPolicy() { Clear(); }
    GroupPolicy(const GroupPolicy&) = delete;
    GroupPolicy& operator=(const GroupPolicy&) = delete;

    void Clear()
    {
        RegistryKey policies;
        if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Policies", 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY,
                            policies.out()) == ERROR_SUCCESS)
            ::RegDeleteTreeW(policies.get(), L"ROM Upgrade Wizard");
    }

    void Set(const wchar_t* name, bool enabled, const std::vector<std::wstring>& values = {})
    {
        std::vector<Node> found = Select(m_admx, std::wstring(L"//p:policy[@name='") + name + L"']");
        ASSERT_EQ(found.size(), 1u) << Utf8(name);
        IXMLDOMNode* policy = found.front().get();
        const std::wstring key = Attribute(policy, L"key");
        const std::vector<Node> flag = Select(policy, enabled ? L"p:enabledValue/p:decimal" : L"p:disabledValue/p:decimal");
        if (!flag.empty())
            Write(key, Attribute(policy, L"valueName"), REG_DWORD, std::stoul(Attribute(flag.front().get(), L"value")));
        for (const Node& list : Select(policy, L"p:elements/p:list")) {
            const std::wstring at = Attribute(list.get(), L"key", key.c_str());
            RegistryKey k;
            ASSERT_EQ(Create(at, &k), ERROR_SUCCESS);
            // Group Policy replaces the list: the values there go first, enabled or not.
            for (;;) {
                wchar_t value[256];
                DWORD length = 256;
                if (::RegEnumValueW(k.get(), 0, value, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
                ::RegDeleteValueW(k.get(), value);
            }
            if (!enabled) continue;
            const std::wstring prefix = Attribute(list.get(), L"valuePrefix");
            for (size_t i = 0; i < values.size(); ++i)
                Write(at, prefix + std::to_wstring(i + 1), REG_SZ, 0, values[i]);
        }
        for (const Node& text : Select(policy, L"p:elements/p:text")) {
            const std::wstring at = Attribute(text.get(), L"key", key.c_str());
            if (enabled && !values.empty()) Write(at, Attribute(text.get(), L"valueName"), REG_SZ, 0, values.front());
            if (!enabled) {
                RegistryKey k;
                if (Create(at, &k) == ERROR_SUCCESS) ::RegDeleteValueW(k.get(), Attribute(text.get(), L"valueName").c_str());
            }
        }
    }

private:
    static LONG Create(const std::wstring& key, RegistryKey* k)
    {
        return ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY,
                                 nullptr, k->out(), nullptr);
    }
    static void Write(const std::wstring& key, const std::wstring& name, DWORD type, DWORD number,
                      const std::wstring& text = L"")
    {
        RegistryKey k;
        ASSERT_EQ(Create(key, &k), ERROR_SUCCESS);
        if (type == REG_DWORD)
            ::RegSetValueExW(k.get(), name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), sizeof number);
        else
            ::RegSetValueExW(k.get(), name.c_str(), 0, type, reinterpret_cast<const BYTE*>(text.c_str()),
                             static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    }

    const Xml& m_admx;
};

std::wstring ComputerName()
{
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD n = MAX_COMPUTERNAME_LENGTH + 1;
    return ::GetComputerNameW(name, &n) ? std::wstring(name, n) : std::wstring();
}

class PolicyTemplatesAtWork : public RoadScenario {
protected:
    // romflash writes or refuses the image; the reason of its record (from `log`, the local
    // log unless given).
    std::string FlashFor(const std::wstring& image, DWORD code, const std::wstring& log = L"")
    {
        UpgradeLog local;
        const size_t before = log.empty() ? 0 : ReadWholeFile(log).size();
        const robot::ConsoleResult r = Flash(L"--wait 10 \"" + image + L"\"");
        EXPECT_EQ(r.exitCode, code) << r.err;
        std::vector<std::string> records;
        if (log.empty()) {
            records = local.NewRecords();
        } else {
            EXPECT_TRUE(local.NewRecords().empty()) << "a record went to the local log";
            const std::string text = ReadWholeFile(log).substr(before);
            for (size_t at = 0, end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2)
                records.push_back(text.substr(at, end - at));
        }
        EXPECT_EQ(records.size(), 1u);
        return records.empty() ? "(none)" : UpgradeLog::Parse(records.front())["reason"];
    }
};

TEST_F(PolicyTemplatesAtWork, TheProgramsDoWhatEachPolicySaysAsGroupPolicySetsItFromTheTemplate)
{
    const Xml admx = Load(Admx());
    ASSERT_TRUE(admx.error.empty()) << Utf8(admx.error);
    const Publisher maker("Example Handhelds ROM Signing", true), other("Another Maker", true);
    if (!maker.Ready() || !other.Ready()) GTEST_SKIP() << "no openssl beneath";
    ImageFile byMaker(20000, L"by maker.bin"), byOther(20000, L"by other.bin"), plain(20000, L"unsigned.bin");
    ASSERT_TRUE(maker.Sign(byMaker.Path()));
    ASSERT_TRUE(other.Sign(byOther.Path()));
    ASSERT_TRUE(device.Start()) << Utf8(device.Error());
    GroupPolicy gp(admx);
    gp.Clear();

    // Trusted signers: the maker alone (its SHA-1 thumbprint as the certificate shows it).
    const std::string sha1 = maker.Thumbprint("signer.sha1");
    gp.Set(L"TrustedSigners", true, {std::wstring(sha1.begin(), sha1.end())});
    EXPECT_EQ(FlashFor(byMaker.Path(), 0), "");
    EXPECT_EQ(FlashFor(byOther.Path(), 3), "signer-not-trusted");
    gp.Set(L"TrustedSigners", false);
    EXPECT_EQ(FlashFor(byOther.Path(), 0), "") << "any signer Windows trusts, once the policy is disabled";

    // A signature required, then not.
    gp.Set(L"RequireSignature", true);
    EXPECT_EQ(FlashFor(plain.Path(), 3), "signature-missing");
    gp.Set(L"RequireSignature", false);
    EXPECT_EQ(FlashFor(plain.Path(), 0), "");

    // The records in a shared folder, in this PC's file; back in the local log once disabled.
    const std::wstring share = TempPath(L"upgrade records");
    ::CreateDirectoryW(share.c_str(), nullptr);
    const std::wstring pcLog = share + L"\\" + ComputerName() + L".log";
    ::DeleteFileW(pcLog.c_str());
    gp.Set(L"LogFolder", true, {share});
    EXPECT_EQ(FlashFor(plain.Path(), 0, pcLog), "");
    {
        // The wizard's record goes there too: Esc on the image file page.
        UpgradeLog local;
        const size_t before = ReadWholeFile(pcLog).size();
        ASSERT_NO_FATAL_FAILURE(WalkToImagePage());
        ASSERT_TRUE(wizard.PressEscape());
        ExpectRunEnds();
        EXPECT_TRUE(local.NewRecords().empty()) << "the wizard's record went to the local log";
        const std::string added = ReadWholeFile(pcLog).substr(before);
        UpgradeLog::Fields f = UpgradeLog::Parse(added.substr(0, added.find("\r\n")));
        EXPECT_EQ(f["program"], "RomUpgradeWizard") << added;
        EXPECT_EQ(f["cause"], "cancel") << added;
    }
    gp.Set(L"LogFolder", false);
    EXPECT_EQ(FlashFor(plain.Path(), 0), "");
    gp.Clear();
    device.Stop();
    ::DeleteFileW(pcLog.c_str());
    ::RemoveDirectoryW(share.c_str());
}

}  // namespace
