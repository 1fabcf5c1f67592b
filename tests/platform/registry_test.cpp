// The registry: keys and values, the hive file, a broken hive, the profile
// and network connections read from it.
#include "platform_test.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace {

const WCHAR *const TallowKey = u"SOFTWARE\\Morvane\\TallowII";

std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteFile(const std::string &path, const std::string &text) {
    std::ofstream(path, std::ios::binary) << text;
}

// Each test works on a hive file of its own in a fresh folder.
struct Registry : testing::Test {
    void SetUp() override {
        char folder[] = "/tmp/winplat-registry-XXXXXX";
        ASSERT_NE(mkdtemp(folder), nullptr);
        Folder = folder;
        Hive = Folder + "/hive.reg";
    }
    void TearDown() override {
        PlatRegistryOpen("", nullptr);
        std::string command = "rm -rf '" + Folder + "'";
        EXPECT_EQ(system(command.c_str()), 0);
    }

    HKEY Create(const WCHAR *path, DWORD *disposition = nullptr) {
        HKEY key = nullptr;
        EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  KEY_ALL_ACCESS, nullptr, &key, disposition),
                  ERROR_SUCCESS);
        return key;
    }

    // The value's type and bytes, read back through an opened key.
    std::pair<DWORD, std::vector<BYTE>> Read(const WCHAR *path, const WCHAR *name) {
        HKEY key;
        DWORD type = 0, size = 0;
        std::vector<BYTE> data;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
            return {~0u, data};
        if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) == ERROR_SUCCESS) {
            data.resize(size);
            EXPECT_EQ(RegQueryValueExW(key, name, nullptr, &type, data.data(), &size),
                      ERROR_SUCCESS);
        } else {
            type = ~0u;
        }
        RegCloseKey(key);
        return {type, data};
    }

    std::string Folder, Hive;
};

TEST_F(Registry, ValuesSurviveAReloadFromTheFile) {
    ASSERT_TRUE(PlatRegistryOpen(Hive, nullptr));
    EXPECT_EQ(PlatRegistryPath(), Hive);
    DWORD disposition = 0;
    HKEY key = Create(u"SOFTWARE\\Morvane\\TallowII\\Ports\\LPT1", &disposition);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));

    // One value of each kind, strings with quotes, backslashes and non-ASCII.
    WString quoted = u"C:\\Spool\\ \"quoted\" \\\\server";
    WString accented = u"Gr\u00F6\u00DFe \u20AC \u4E2D \U0001D11E";
    WString multi(u"one\0two\0\0", 9);
    DWORD ten = 10;
    std::vector<BYTE> binary(100);
    for (size_t i = 0; i < binary.size(); i++)
        binary[i] = static_cast<BYTE>(i * 7);
    const std::vector<BYTE> embeddedZero = {'a', 0, 0, 0, 'b', 0, 0, 0};
    struct {
        const WCHAR *Name;
        DWORD Type;
        std::vector<BYTE> Data;
    } values[] = {
        {u"Quoted", REG_SZ, WideBytes(quoted)},
        {u"Accented", REG_SZ, WideBytes(accented)},
        {nullptr, REG_SZ, WideBytes(u"default")},
        {u"Expand", REG_EXPAND_SZ, WideBytes(u"%SystemRoot%\\x")},
        {u"Multi", REG_MULTI_SZ,
         std::vector<BYTE>(reinterpret_cast<const BYTE *>(multi.data()),
                           reinterpret_cast<const BYTE *>(multi.data()) + 20)},
        {u"Ten", REG_DWORD,
         std::vector<BYTE>(reinterpret_cast<BYTE *>(&ten), reinterpret_cast<BYTE *>(&ten) + 4)},
        {u"Binary", REG_BINARY, binary},
        {u"Nothing", REG_NONE, {}},
        {u"Embedded \"zero\"", REG_SZ, embeddedZero},
    };
    for (auto &v : values)
        ASSERT_EQ(RegSetValueExW(key, v.Name, 0, v.Type, v.Data.data(),
                                 static_cast<DWORD>(v.Data.size())),
                  ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);

    // The file is in the export format.
    std::string text = ReadFile(Hive);
    EXPECT_EQ(text.rfind("Windows Registry Editor Version 5.00\n", 0), 0u) << text;
    EXPECT_NE(text.find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Morvane\\TallowII\\Ports\\LPT1]"),
              std::string::npos);
    EXPECT_NE(text.find("\"Ten\"=dword:0000000a"), std::string::npos);
    EXPECT_NE(text.find("\"Quoted\"=\"C:\\\\Spool\\\\ \\\"quoted\\\" \\\\\\\\server\""),
              std::string::npos);
    EXPECT_NE(text.find("@=\"default\""), std::string::npos);
    EXPECT_NE(text.find("\"Expand\"=hex(2):25,00,"), std::string::npos);
    EXPECT_NE(text.find("\"Multi\"=hex(7):6f,00,"), std::string::npos);
    EXPECT_NE(text.find("\"Nothing\"=hex(0):\n"), std::string::npos);

    // Everything reads back the same after the hive is read anew.
    std::string error;
    ASSERT_TRUE(PlatRegistryOpen(Hive, &error)) << error;
    for (auto &v : values) {
        auto [type, data] = Read(u"software\\MORVANE\\tallowii\\ports\\lpt1", v.Name);
        EXPECT_EQ(type, v.Type) << PlatNarrow(v.Name ? v.Name : u"@");
        EXPECT_EQ(data, v.Data) << PlatNarrow(v.Name ? v.Name : u"@");
    }
    EXPECT_EQ(PlatRegistryExport(), text);
    key = Create(u"SOFTWARE\\Morvane\\TallowII\\Ports\\LPT1", &disposition);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
    RegCloseKey(key);
}

TEST_F(Registry, QuerySizesAndMissingEntries) {
    ASSERT_TRUE(PlatRegistryOpen("", nullptr));
    HKEY key = Create(TallowKey);
    DWORD port = 9100;
    ASSERT_EQ(
        RegSetValueExW(key, u"JobNotifyPort", 0, REG_DWORD, reinterpret_cast<BYTE *>(&port), 4),
        ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key, u"Name", 0, REG_SZ, WideBytes(u"abcdef").data(), 14),
              ERROR_SUCCESS);

    // Too small a buffer: ERROR_MORE_DATA and the size needed.
    BYTE small[4];
    DWORD size = sizeof small, type = 0;
    EXPECT_EQ(RegQueryValueExW(key, u"NAME", nullptr, &type, small, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 14u);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    // No buffer: the size alone.
    size = 0;
    EXPECT_EQ(RegQueryValueExW(key, u"Name", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 14u);
    DWORD read = 0;
    size = 4;
    EXPECT_EQ(RegQueryValueExW(key, u"jobnotifyport", nullptr, &type,
                               reinterpret_cast<BYTE *>(&read), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(read, 9100u);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));

    // Missing value, missing key, a key that is not open.
    EXPECT_EQ(RegQueryValueExW(key, u"Missing", nullptr, nullptr, nullptr, &size),
              ERROR_FILE_NOT_FOUND);
    HKEY missing = reinterpret_cast<HKEY>(1);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Nobody", 0, KEY_READ, &missing),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(missing, nullptr);
    EXPECT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, u"x", 0, KEY_READ, &missing), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
}

TEST_F(Registry, DeletionsReachTheFile) {
    ASSERT_TRUE(PlatRegistryOpen(Hive, nullptr));
    HKEY ports = Create(u"SOFTWARE\\Morvane\\TallowII\\Ports");
    HKEY port = Create(u"SOFTWARE\\Morvane\\TallowII\\Ports\\LPT1");
    DWORD one = 1;
    ASSERT_EQ(RegSetValueExW(port, u"A", 0, REG_DWORD, reinterpret_cast<BYTE *>(&one), 4),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(port, u"B", 0, REG_DWORD, reinterpret_cast<BYTE *>(&one), 4),
              ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueW(port, u"a"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueW(port, u"a"), ERROR_FILE_NOT_FOUND);
    // A key with subkeys stays.
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Morvane\\TallowII"),
              ERROR_ACCESS_DENIED);
    ASSERT_TRUE(PlatRegistryOpen(Hive, nullptr));
    EXPECT_EQ(Read(u"SOFTWARE\\Morvane\\TallowII\\Ports\\LPT1", u"A").first, ~0u);
    EXPECT_EQ(Read(u"SOFTWARE\\Morvane\\TallowII\\Ports\\LPT1", u"B").first,
              static_cast<DWORD>(REG_DWORD));

    EXPECT_EQ(RegDeleteKeyW(ports, u"lpt1"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyW(ports, u"lpt1"), ERROR_FILE_NOT_FOUND);
    // A handle to a deleted key says so.
    EXPECT_EQ(RegSetValueExW(port, u"C", 0, REG_DWORD, reinterpret_cast<BYTE *>(&one), 4),
              ERROR_KEY_DELETED);
    ASSERT_TRUE(PlatRegistryOpen(Hive, nullptr));
    HKEY reopened;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Morvane\\TallowII\\Ports\\LPT1", 0,
                            KEY_READ, &reopened),
              ERROR_FILE_NOT_FOUND);
    RegCloseKey(port);
    RegCloseKey(ports);
}

TEST_F(Registry, BrokenHiveIsReportedAndNeverOverwritten) {
    const std::string broken = "Windows Registry Editor Version 5.00\n"
                               "\n"
                               "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Morvane]\n"
                               "\"Good\"=dword:00000001\n"
                               "\"Bad\"=dword:zz\n";
    WriteFile(Hive, broken);
    std::string error;
    EXPECT_FALSE(PlatRegistryOpen(Hive, &error));
    EXPECT_NE(error.find(Hive + ":5:"), std::string::npos) << error;

    // Every call fails, and a write attempt leaves the file as it was.
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Morvane", 0, KEY_READ, &key),
              ERROR_REGISTRY_CORRUPT);
    EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Other", 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_REGISTRY_CORRUPT);
    DWORD one = 1;
    EXPECT_EQ(
        RegSetValueExW(HKEY_LOCAL_MACHINE, u"x", 0, REG_DWORD, reinterpret_cast<BYTE *>(&one), 4),
        ERROR_REGISTRY_CORRUPT);
    EXPECT_EQ(ReadFile(Hive), broken);

    // Other faults name their line as well.
    const struct {
        const char *Text;
        int Line;
    } faults[] = {
        {"REGEDIT4\n", 1},
        {"Windows Registry Editor Version 5.00\n\"x\"=dword:1\n", 2},
        {"Windows Registry Editor Version 5.00\n[HKEY_NOWHERE\\A]\n", 2},
        {"Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\A]\n\"x\"=\"open\n", 3},
        {"Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\A]\n\"x\"=\"C:\\dir\"\n", 3},
        {"Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\A]\n\"x\"=hex:01,2g\n", 3},
        {"Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\A]\nx=1\n", 3},
    };
    for (const auto &fault : faults) {
        WriteFile(Hive, fault.Text);
        EXPECT_FALSE(PlatRegistryOpen(Hive, &error)) << fault.Text;
        EXPECT_NE(error.find(Hive + ":" + std::to_string(fault.Line) + ":"), std::string::npos)
            << fault.Text << " -> " << error;
    }
}

TEST_F(Registry, ReadsHandWrittenHives) {
    // CRLF, comments, wrapped hex, a byte-order mark and short root names.
    WriteFile(Hive, "\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n"
                    "; written by hand\r\n"
                    "[HKLM\\SOFTWARE\\Morvane\\TallowII\\VorlAgnt]\r\n"
                    "\"PollingLevel\"=dword:5\r\n"
                    "\"Blob\"=hex:01,02,\\\r\n"
                    "  03,04\r\n"
                    "[HKCU\\Network\\LPT1]\r\n"
                    "\"RemotePath\"=\"\\\\\\\\server\\\\queue\"\r\n");
    std::string error;
    ASSERT_TRUE(PlatRegistryOpen(Hive, &error)) << error;
    auto [type, data] = Read(u"SOFTWARE\\Morvane\\TallowII\\VorlAgnt", u"PollingLevel");
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(data, (std::vector<BYTE>{5, 0, 0, 0}));
    EXPECT_EQ(Read(u"SOFTWARE\\Morvane\\TallowII\\VorlAgnt", u"Blob").second,
              (std::vector<BYTE>{1, 2, 3, 4}));
    WCHAR remote[32];
    DWORD length = 32;
    EXPECT_EQ(WNetGetConnectionW(u"LPT1", remote, &length), static_cast<DWORD>(NO_ERROR));
    EXPECT_EQ(WString(remote), WString(u"\\\\server\\queue"));
}

TEST_F(Registry, ConcurrentWritersAllLand) {
    ASSERT_TRUE(PlatRegistryOpen(Hive, nullptr));
    auto writer = [this](int base) {
        HKEY key = Create(TallowKey);
        for (int i = 0; i < 20; i++) {
            DWORD n = static_cast<DWORD>(base + i);
            WString name = PlatWide("v" + std::to_string(base + i));
            RegSetValueExW(key, name.c_str(), 0, REG_DWORD, reinterpret_cast<BYTE *>(&n), 4);
        }
        RegCloseKey(key);
    };
    HANDLE a = StartThread([&] { writer(0); }), b = StartThread([&] { writer(100); });
    Join(a);
    Join(b);
    ASSERT_TRUE(PlatRegistryOpen(Hive, nullptr));
    for (int base : {0, 100}) {
        for (int i = 0; i < 20; i++) {
            WString name = PlatWide("v" + std::to_string(base + i));
            EXPECT_EQ(Read(TallowKey, name.c_str()).second.size(), 4u);
        }
    }
}

TEST(RegistryEnvironment, BrokenHiveNamedByTheEnvironmentIsReported) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // The child process runs this body again: it reuses the parent's folder.
    const char *inherited = getenv("WINPLAT_TEST_BROKEN_HIVE");
    char folder[] = "/tmp/winplat-env-XXXXXX";
    if (inherited == nullptr) {
        ASSERT_NE(mkdtemp(folder), nullptr);
        WriteFile(std::string(folder) + "/hive.reg",
                  "Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\A\n");
    }
    std::string hive = inherited != nullptr ? inherited : std::string(folder) + "/hive.reg";
    setenv("WINPLAT_TEST_BROKEN_HIVE", hive.c_str(), 1);
    setenv("WINPLAT_REGISTRY", hive.c_str(), 1);
    // A fresh process: the hive is read at its first registry call.
    EXPECT_EXIT(
        {
            HKEY key;
            LONG first = RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"A", 0, KEY_READ, &key);
            LONG second = RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"B", 0, nullptr, 0, KEY_ALL_ACCESS,
                                          nullptr, &key, nullptr);
            _exit(first == ERROR_REGISTRY_CORRUPT && second == ERROR_REGISTRY_CORRUPT ? 0 : 1);
        },
        testing::ExitedWithCode(0), "hive.reg:2: key section without closing");
    unsetenv("WINPLAT_REGISTRY");
    unsetenv("WINPLAT_TEST_BROKEN_HIVE");
    EXPECT_EQ(ReadFile(hive), "Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\A\n");
    unlink(hive.c_str());
    rmdir(folder);
}

// ---------------------------------------------------------------- profile and network

struct UserSettings : testing::Test {
    void SetUp() override { ASSERT_TRUE(PlatRegistryOpen("", nullptr)); }
    void TearDown() override { PlatRegistryOpen("", nullptr); }

    static void Set(const WCHAR *path, const WCHAR *name, DWORD type,
                    const std::vector<BYTE> &data) {
        HKEY key;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                  &key, nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExW(key, name, 0, type, data.data(), static_cast<DWORD>(data.size())),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }
};

const WCHAR *const WindowsKey = u"Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows";

TEST_F(UserSettings, ProfileIntegersFromTheWindowsSection) {
    EXPECT_EQ(GetProfileIntW(u"windows", u"TransmissionRetryTimeout", 180), 180u);
    const struct {
        const char16_t *Text;
        UINT Expected;
    } cases[] = {{u"45", 45}, {u"  12abc", 12},     {u"abc", 0},
                 {u"+7", 7},  {u"-1", 0xFFFFFFFFu}, {u"", 180}};
    for (const auto &c : cases) {
        Set(WindowsKey, u"TransmissionRetryTimeout", REG_SZ, WideBytes(c.Text));
        EXPECT_EQ(GetProfileIntW(u"Windows", u"transmissionretrytimeout", 180), c.Expected)
            << PlatNarrow(c.Text);
    }
    Set(WindowsKey, u"Number", REG_DWORD, {0x2c, 1, 0, 0});
    EXPECT_EQ(GetProfileIntW(u"windows", u"Number", 5), 300u);
    // Other sections are not in the registry.
    EXPECT_EQ(GetProfileIntW(u"devices", u"Number", 5), 5u);
}

TEST_F(UserSettings, NetworkConnectionsOfLocalDevices) {
    Set(u"Network\\LPT1", u"RemotePath", REG_SZ, WideBytes(u"\\\\server\\laser"));
    WCHAR remote[32];
    DWORD length = 32;
    SetLastError(Sentinel);
    EXPECT_EQ(WNetGetConnectionW(u"LPT1:", remote, &length), static_cast<DWORD>(NO_ERROR));
    EXPECT_EQ(WString(remote), WString(u"\\\\server\\laser"));
    // Too short: the length needed, terminator included.
    length = 5;
    EXPECT_EQ(WNetGetConnectionW(u"lpt1", remote, &length), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(length, 15u);
    // Not redirected.
    length = 32;
    SetLastError(Sentinel);
    EXPECT_EQ(WNetGetConnectionW(u"LPT2", remote, &length),
              static_cast<DWORD>(ERROR_NOT_CONNECTED));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_CONNECTED));
}

} // namespace
