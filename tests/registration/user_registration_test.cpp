// The per-user registration tool as a user without administrator rights runs
// it: it writes under HKEY_CURRENT_USER\Software\Classes what regsvr32 writes
// machine-wide, nothing under HKEY_LOCAL_MACHINE, and /u takes it all away.
// Runs after regsvr32 has registered the build's DLL machine-wide.
#include <gtest/gtest.h>
#include <windows.h>
#include <oleauto.h>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

namespace {

struct ComApartment : ::testing::Environment {
    void SetUp() override { CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }
    void TearDown() override { CoUninitialize(); }
};
const auto* apartment = ::testing::AddGlobalTestEnvironment(new ComApartment);

const wchar_t userClasses[] = L"Software\\Classes";
const wchar_t machineClasses[] = L"Software\\Classes";
const wchar_t velkoMBClass[] = L"CLSID\\{1CD48C7A-4F30-4EFA-8665-9ED3637EF62C}";

// Every key the component registers, relative to a classes root.
const std::vector<std::wstring> componentKeys = {
    velkoMBClass,
    L"CLSID\\{F2A12945-380E-43F0-A3C9-80CACF8A3B52}",
    L"VelkoMBDLL.VelkoMB",
    L"VelkoMBDLL.VelkoMB.1",
    L"VelkoMBDLL.CSocket",
    L"VelkoMBDLL.CSocket.1",
    L"TypeLib\\{BA0AEAE1-729E-4C0A-A5C8-6519B7D8D62D}",
    L"Interface\\{62DA8D38-DC57-4619-A9A4-DB97A44EB38C}",
    L"Interface\\{3BB7D999-DD34-4863-BC7A-CC822BFB82DF}",
    L"Interface\\{D3C9C850-B7CB-45BE-86B6-AD98546D4C84}",
    L"Interface\\{907E73B2-709D-4C7A-A51C-EA295F99257B}",
};

// Registry keys as "key path|value name" -> type and data.
using Tree = std::map<std::wstring, std::wstring>;

void DumpInto(Tree& tree, HKEY parent, const std::wstring& path, const std::wstring& relative)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(parent, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return;
    tree[relative + L"|"] = L"key";
    std::vector<wchar_t> name(16384);  // the longest value name
    for (DWORD i = 0;; ++i) {
        DWORD nameLength = 16384, type = 0, size = 0;
        if (RegEnumValueW(key, i, name.data(), &nameLength, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) break;
        std::vector<BYTE> data(size);
        nameLength = 16384;
        RegEnumValueW(key, i, name.data(), &nameLength, nullptr, &type, data.data(), &size);
        tree[relative + L"|" + name.data()] = std::to_wstring(type) + L":" + std::wstring(data.begin(), data.end());
    }
    std::vector<std::wstring> children;
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        DWORD length = 256;
        if (RegEnumKeyExW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        children.emplace_back(name, length);
    }
    RegCloseKey(key);
    for (const auto& child : children) DumpInto(tree, parent, path + L"\\" + child, relative + L"\\" + child);
}

// The component's keys under a classes root, with key names folded to upper
// case (the platform writes "TypeLib" as it likes; the registry ignores case).
Tree ComponentTree(HKEY root, const std::wstring& classes)
{
    Tree tree;
    for (const auto& key : componentKeys) DumpInto(tree, root, classes + L"\\" + key, key);
    Tree folded;
    for (auto& [path, data] : tree) {
        std::wstring name = path.substr(0, path.find(L'|'));
        CharUpperBuffW(name.data(), static_cast<DWORD>(name.size()));
        folded[name + path.substr(path.find(L'|'))] = data;
    }
    return folded;
}

std::wstring ReadDefault(HKEY root, const std::wstring& path)
{
    wchar_t value[MAX_PATH] = L"";
    DWORD size = sizeof value;
    if (RegGetValueW(root, path.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, value, &size) != ERROR_SUCCESS) return L"";
    return value;
}

// Runs the registration tool; its exit code, or -1 when it did not end in 60 s.
int RunTool(const std::wstring& arguments)
{
    std::wstring commandLine = L"VelkoMBReg.exe " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(L"VelkoMBReg.exe", commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process))
        return -1;
    DWORD code = static_cast<DWORD>(-1);
    if (WaitForSingleObject(process.hProcess, 60000) == WAIT_OBJECT_0)
        GetExitCodeProcess(process.hProcess, &code);
    else
        TerminateProcess(process.hProcess, 1);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return static_cast<int>(code);
}

std::wstring Quoted(const std::wstring& path) { return L"\"" + path + L"\""; }

// What the platform's class lookup does with per-user classes: ProgID to
// class, class to DLL, DLL to class factory, factory to object.
IDispatch* CreateFromUserClasses(const std::wstring& progId, HMODULE& module)
{
    const std::wstring clsidText = ReadDefault(HKEY_CURRENT_USER, std::wstring(userClasses) + L"\\" + progId + L"\\CLSID");
    CLSID clsid;
    if (FAILED(CLSIDFromString(clsidText.c_str(), &clsid))) return nullptr;
    const std::wstring path =
        ReadDefault(HKEY_CURRENT_USER, std::wstring(userClasses) + L"\\CLSID\\" + clsidText + L"\\InprocServer32");
    module = LoadLibraryW(path.c_str());
    if (!module) return nullptr;
    using GetClassObject = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
    auto getClassObject = reinterpret_cast<GetClassObject>(
        reinterpret_cast<void (*)()>(GetProcAddress(module, "DllGetClassObject")));
    IClassFactory* factory = nullptr;
    if (!getClassObject || FAILED(getClassObject(clsid, IID_IClassFactory, reinterpret_cast<void**>(&factory))))
        return nullptr;
    IDispatch* object = nullptr;
    factory->CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void**>(&object));
    factory->Release();
    return object;
}

std::wstring Differences(const Tree& before, const Tree& after)
{
    std::wstring text;
    for (const auto& [key, data] : after)
        if (auto found = before.find(key); found == before.end() || found->second != data) text += L"written " + key + L"\n";
    for (const auto& [key, data] : before)
        if (!after.count(key)) text += L"removed " + key + L"\n";
    return text;
}

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

// Notices any write anywhere under HKEY_LOCAL_MACHINE from its start on.
class MachineWatch {
public:
    MachineWatch()
    {
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, nullptr, 0, KEY_NOTIFY, &key_);
        event_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        armed_ = key_ && event_ &&
                 RegNotifyChangeKeyValue(key_, TRUE, REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET, event_, TRUE) ==
                     ERROR_SUCCESS;
    }
    ~MachineWatch()
    {
        if (key_) RegCloseKey(key_);
        if (event_) CloseHandle(event_);
    }
    MachineWatch(const MachineWatch&) = delete;
    MachineWatch& operator=(const MachineWatch&) = delete;

    bool armed() const { return armed_; }
    // Notifications arrive asynchronously; a moment's wait lets one land.
    bool written() const { return WaitForSingleObject(event_, 200) == WAIT_OBJECT_0; }

private:
    HKEY key_ = nullptr;
    HANDLE event_ = nullptr;
    bool armed_ = false;
};

// Wine's 64-bit type library registration also copies the interface keys
// into the machine's 32-bit view (and removes them again), past the mapping
// of the classes root to the user's; Windows keeps them in the user's
// classes. Everything else stays out of HKEY_LOCAL_MACHINE there too.
bool WineCopiesInterfacesToMachine()
{
    return sizeof(void*) == 8 && GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version");
}

const wchar_t machine32BitClasses[] = L"Software\\Classes\\Wow6432Node";

// The machine's component keys in both views, without Wine's interface
// copies in the 32-bit view.
Tree MachineComponentKeys()
{
    Tree tree = ComponentTree(HKEY_LOCAL_MACHINE, machineClasses);
    for (auto& [key, data] : ComponentTree(HKEY_LOCAL_MACHINE, machine32BitClasses))
        if (!WineCopiesInterfacesToMachine() || key.rfind(L"INTERFACE\\", 0) != 0) tree[L"32-bit view " + key] = data;
    return tree;
}

class UserRegistration : public ::testing::Test {
protected:
    void SetUp() override
    {
        dllPath_ = ReadDefault(HKEY_LOCAL_MACHINE, std::wstring(machineClasses) + L"\\" + velkoMBClass + L"\\InprocServer32");
        ASSERT_FALSE(dllPath_.empty()) << "the DLL is not registered machine-wide";
        ASSERT_EQ(RunTool(L"/u"), 0);
        ASSERT_TRUE(machineWatch_.armed());
        machineKeys_ = MachineComponentKeys();
    }
    void TearDown() override
    {
        EXPECT_EQ(RunTool(L"/u"), 0);
        if (!WineCopiesInterfacesToMachine() && !writesMachineKeys_) {
            EXPECT_FALSE(machineWatch_.written()) << "written under HKEY_LOCAL_MACHINE";
        }
        EXPECT_EQ(Differences(machineKeys_, MachineComponentKeys()), L"") << "under HKEY_LOCAL_MACHINE";
    }

    std::wstring dllPath_;
    MachineWatch machineWatch_;
    Tree machineKeys_;
    bool writesMachineKeys_ = false;  // a test that runs the machine registration itself
};

// The watch itself: a write under HKEY_LOCAL_MACHINE does not go unseen.
TEST(MachineWatch, SeesAWriteUnderTheMachineKey)
{
    MachineWatch watch;
    ASSERT_TRUE(watch.armed());
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Software\\VelkoMB watch probe", 0, nullptr, REG_OPTION_VOLATILE,
                              KEY_WRITE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"Software\\VelkoMB watch probe");
    EXPECT_TRUE(watch.written());
}

TEST_F(UserRegistration, WritesWhatRegsvr32WritesUnderTheUsersClassesOnly)
{
    ASSERT_EQ(RunTool(Quoted(dllPath_)), 0);
    const Tree user = ComponentTree(HKEY_CURRENT_USER, userClasses);
    const Tree machine = ComponentTree(HKEY_LOCAL_MACHINE, machineClasses);
    ASSERT_EQ(machine.count(L"TYPELIB\\{BA0AEAE1-729E-4C0A-A5C8-6519B7D8D62D}|"), 1u);
    EXPECT_EQ(Differences(machine, user), L"");
    EXPECT_EQ(Differences(user, machine), L"");
}

TEST_F(UserRegistration, ObjectsAndTypeLibraryComeFromTheUsersKeys)
{
    ASSERT_EQ(RunTool(Quoted(dllPath_)), 0);
    HMODULE module = nullptr;
    for (const wchar_t* progId : {L"VelkoMBDLL.VelkoMB", L"VelkoMBDLL.CSocket"}) {
        IDispatch* object = CreateFromUserClasses(progId, module);
        ASSERT_TRUE(object) << Narrow(progId);
        ITypeInfo* info = nullptr;
        ASSERT_EQ(object->GetTypeInfo(0, LOCALE_USER_DEFAULT, &info), S_OK);
        BSTR name = nullptr;
        info->GetDocumentation(MEMBERID_NIL, &name, nullptr, nullptr, nullptr);
        EXPECT_EQ(std::wstring(name), std::wstring(L"_") + (progId + 11));
        SysFreeString(name);
        info->Release();
        object->Release();
    }

    const std::wstring platform = sizeof(void*) == 8 ? L"win64" : L"win32";
    const std::wstring libraryPath =
        ReadDefault(HKEY_CURRENT_USER, std::wstring(userClasses) + L"\\TypeLib\\{BA0AEAE1-729E-4C0A-A5C8-6519B7D8D62D}\\ba.0\\0\\" + platform);
    ITypeLib* library = nullptr;
    ASSERT_EQ(LoadTypeLibEx(libraryPath.c_str(), REGKIND_NONE, &library), S_OK) << Narrow(libraryPath);
    TLIBATTR* attributes = nullptr;
    library->GetLibAttr(&attributes);
    EXPECT_EQ(attributes->syskind, sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32);
    library->ReleaseTLibAttr(attributes);
    library->Release();
}

TEST_F(UserRegistration, UnregistrationRemovesEverythingAndMayBeRepeated)
{
    ASSERT_EQ(RunTool(Quoted(dllPath_)), 0);
    ASSERT_EQ(RunTool(L"/u"), 0);
    EXPECT_EQ(Differences({}, ComponentTree(HKEY_CURRENT_USER, userClasses)), L"");
    EXPECT_EQ(RunTool(L"/u"), 0);
    // The machine-wide registration is another one and stays.
    EXPECT_EQ(ReadDefault(HKEY_LOCAL_MACHINE, std::wstring(machineClasses) + L"\\VelkoMBDLL.VelkoMB\\CLSID"),
              L"{1CD48C7A-4F30-4EFA-8665-9ED3637EF62C}");
}

using ServerEntry = HRESULT(STDAPICALLTYPE*)();

// Runs the DLL's own DllRegisterServer or DllUnregisterServer in this process
// while HKEY_CLASSES_ROOT is the user's classes. Windows' merged classes root
// sends writes and deletes to the user's keys wherever those exist, which
// after a per-user registration is every key the component writes; Wine's
// classes root is the machine's alone, so the test maps it as that merge
// would.
HRESULT RunServerEntry(const std::wstring& dllPath, const char* entry)
{
    HMODULE module = LoadLibraryW(dllPath.c_str());
    auto run = module ? reinterpret_cast<ServerEntry>(reinterpret_cast<void (*)()>(GetProcAddress(module, entry)))
                      : nullptr;
    HKEY user = nullptr;
    HRESULT hr = E_FAIL;
    if (run && RegOpenKeyExW(HKEY_CURRENT_USER, userClasses, 0, KEY_ALL_ACCESS, &user) == ERROR_SUCCESS &&
        RegOverridePredefKey(HKEY_CLASSES_ROOT, user) == ERROR_SUCCESS) {
        hr = run();
        RegOverridePredefKey(HKEY_CLASSES_ROOT, nullptr);
    }
    if (user) RegCloseKey(user);
    if (module) FreeLibrary(module);
    return hr;
}

// An administrator's regsvr32 and regsvr32 /u after the user's own
// registration change the machine's keys and leave the user's alone.
TEST_F(UserRegistration, MachineRegistrationAfterTheUsersWritesTheMachinesKeys)
{
    writesMachineKeys_ = true;
    ASSERT_EQ(RunTool(Quoted(dllPath_)), 0);
    const Tree user = ComponentTree(HKEY_CURRENT_USER, userClasses);

    EXPECT_EQ(RunServerEntry(dllPath_, "DllUnregisterServer"), S_OK);
    EXPECT_EQ(Differences(user, ComponentTree(HKEY_CURRENT_USER, userClasses)), L"") << "under the user's classes";
    EXPECT_EQ(Differences({}, MachineComponentKeys()), L"") << "left under HKEY_LOCAL_MACHINE";

    EXPECT_EQ(RunServerEntry(dllPath_, "DllRegisterServer"), S_OK);
    EXPECT_EQ(Differences(user, ComponentTree(HKEY_CURRENT_USER, userClasses)), L"") << "under the user's classes";
    EXPECT_EQ(Differences(machineKeys_, MachineComponentKeys()), L"") << "under HKEY_LOCAL_MACHINE";
}

// A copy of the DLL whose header names the other architecture.
std::wstring OtherArchitectureCopy(const std::wstring& dllPath)
{
    std::ifstream in(dllPath.c_str(), std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (bytes.size() < sizeof(IMAGE_DOS_HEADER)) return L"";
    const LONG header = reinterpret_cast<const IMAGE_DOS_HEADER*>(bytes.data())->e_lfanew;
    auto* machine = reinterpret_cast<WORD*>(bytes.data() + header + 4);
    *machine = *machine == IMAGE_FILE_MACHINE_AMD64 ? IMAGE_FILE_MACHINE_I386 : IMAGE_FILE_MACHINE_AMD64;
    wchar_t directory[MAX_PATH], path[MAX_PATH];
    GetTempPathW(MAX_PATH, directory);
    GetTempFileNameW(directory, L"vmb", 0, path);
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return path;
}

TEST_F(UserRegistration, RefusesMissingFilesAndDllsOfTheOtherArchitecture)
{
    const std::wstring otherArchitecture = OtherArchitectureCopy(dllPath_);
    ASSERT_FALSE(otherArchitecture.empty());
    for (const std::wstring& path : {std::wstring(L"Z:\\no\\such\\VelkoMB.dll"), otherArchitecture}) {
        EXPECT_EQ(RunTool(Quoted(path)), 1) << Narrow(path);
        EXPECT_EQ(Differences({}, ComponentTree(HKEY_CURRENT_USER, userClasses)), L"") << Narrow(path);
    }
    DeleteFileW(otherArchitecture.c_str());
}

} // namespace
