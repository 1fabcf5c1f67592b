// The reference status agent RAVODIR.DLL, loaded by name through the
// platform loader as the monitors load it: its table, its policies from the
// registry and its journal.
#include <gtest/gtest.h>

#include "journal_lines.h"
#include "agent_api.h"
#include "wintest.h"

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

namespace {

const char AgentKey[] = "SOFTWARE\\Ravodir\\Agent";

void SetDword(const char *name, DWORD value) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, PlatWide(AgentKey).c_str(), 0, nullptr,
                              REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key, PlatWide(name).c_str(), 0, REG_DWORD, (const BYTE *)&value,
                             sizeof(value)),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

void SetText(const char *name, const std::string &text) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, PlatWide(AgentKey).c_str(), 0, nullptr,
                              REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    WString wide = PlatWide(text);
    ASSERT_EQ(RegSetValueExW(key, PlatWide(name).c_str(), 0, REG_SZ, (const BYTE *)wide.c_str(),
                             (DWORD)((wide.size() + 1) * sizeof(WCHAR))),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

void DeleteValue(const char *name) {
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, PlatWide(AgentKey).c_str(), 0, KEY_WRITE, &key),
              ERROR_SUCCESS);
    RegDeleteValueW(key, PlatWide(name).c_str());
    RegCloseKey(key);
}

std::string ReadAll(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

class AgentTest : public ::testing::Test {
  protected:
    void SetUp() override {
        REQUIRE_TEST_HOOKS();
        ASSERT_TRUE(PlatRegistryOpen("", nullptr));
        PlatSetLibraryPath(QUENNET_COMPANION_FOLDER);
        char pattern[] = "/tmp/agent-tests-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        Folder = pattern;
        Journal = Folder + "/journal.jsonl";
        SetText("Journal", Journal);

        Library = LoadLibraryW(WSTR("RAVODIR.DLL"));
        ASSERT_NE(Library, nullptr) << "RAVODIR.DLL not found in " << QUENNET_COMPANION_FOLDER;
        GetEntryPoints = reinterpret_cast<PFN_Vorl_LMGetEntryPoints>(
            reinterpret_cast<void (*)(void)>(GetProcAddress(Library, AGENT_EXPORT)));
        ASSERT_NE(GetEntryPoints, nullptr);
        ASSERT_EQ(GetEntryPoints(AGENT_INTERFACE_VERSION, sizeof(Table), &Table), 0);
    }
    void TearDown() override {
        if (Library != nullptr)
            FreeLibrary(Library);
        std::error_code ignored;
        if (!Folder.empty())
            std::filesystem::remove_all(Folder, ignored);
    }

    std::vector<nlohmann::json> Lines() {
        std::vector<nlohmann::json> lines;
        EXPECT_TRUE(ParseJsonLines(ReadAll(Journal), &lines)) << ReadAll(Journal);
        return lines;
    }
    // The journal lines of one call name.
    std::vector<nlohmann::json> Calls(const std::string &name) {
        std::vector<nlohmann::json> out;
        for (nlohmann::json &line : Lines()) {
            if (line["call"] == name)
                out.push_back(line);
        }
        return out;
    }
    LONG Start(DWORD job, const char *port = "LPT1:") {
        return Table.AgentJobStart((LPSTR) "Printer", (LPSTR)port, (LPSTR) "RVT-201", job, 0, 0);
    }

    std::string Folder, Journal;
    HMODULE Library = nullptr;
    PFN_Vorl_LMGetEntryPoints GetEntryPoints = nullptr;
    AgentEntryPoints Table = {};
};

TEST_F(AgentTest, FillsItsFiveSlotsAndJournalsTheBinding) {
    EXPECT_NE(Table.AgentJobStart, nullptr);
    EXPECT_NE(Table.AgentJobEnd, nullptr);
    EXPECT_NE(Table.AgentJobStatus, nullptr);
    EXPECT_NE(Table.AgentJobItems, nullptr);
    EXPECT_NE(Table.AgentQuery, nullptr);
    std::vector<nlohmann::json> binding = Calls("Vorl_LMGetEntryPoints");
    ASSERT_EQ(binding.size(), 1u);
    EXPECT_EQ(binding[0]["version"], "0x200");
    EXPECT_EQ(binding[0]["size"], sizeof(AgentEntryPoints));

    // A smaller table gets only the slots that fit whole; no table, a failure.
    AgentEntryPoints partial;
    memset(&partial, 0x5A, sizeof(partial));
    AgentEntryPoints untouched = partial;
    EXPECT_EQ(GetEntryPoints(AGENT_INTERFACE_VERSION, 2 * sizeof(void *) + 3, &partial), 0);
    EXPECT_EQ(partial.AgentJobStart, Table.AgentJobStart);
    EXPECT_EQ(partial.AgentJobEnd, Table.AgentJobEnd);
    EXPECT_EQ(memcmp(&partial.AgentJobStatus, &untouched.AgentJobStatus, 3 * sizeof(void *)), 0);
    EXPECT_NE(GetEntryPoints(AGENT_INTERFACE_VERSION, sizeof(Table), nullptr), 0);
}

TEST_F(AgentTest, WantsReportsAndAcceptsJobsByDefault) {
    EXPECT_EQ(Table.AgentQuery(), 0);
    EXPECT_EQ(Start(5), 0);
    EXPECT_EQ(Table.AgentJobStatus((LPSTR) "Printer", (LPSTR) "LPT1:", 5, 0x10, 0, 0), 0);
    EXPECT_EQ(Table.AgentJobItems((LPSTR) "Printer", (LPSTR) "LPT1:", 0x2000, 0, nullptr), 0);
    EXPECT_EQ(Table.AgentJobEnd((LPSTR) "Printer", (LPSTR) "LPT1:", 5), 0);
}

TEST_F(AgentTest, JournalsEveryCallWithItsArgumentsDecoded) {
    Table.AgentQuery();
    Table.AgentJobStart((LPSTR) "Office", (LPSTR) "LPT1:", (LPSTR) "RVT-201", 42, 0, 0);
    Table.AgentJobStatus((LPSTR) "Office", (LPSTR) "LPT1:", 42, 0x1000100, 0, 0);
    char text[] = "A\"b";
    TklValue code = {1, 4, {}}, kind = {1, 4, {}}, value = {3, 3, {}};
    code.Data.Number = 10030;
    kind.Data.Number = 4;
    value.Data.Text = text;
    TklItem items[] = {
        {65539, 24, 1, &code}, {65600, 24, 1, &kind}, {222, 28, 1, &value}, {267, 16, 0, nullptr}};
    Table.AgentJobItems((LPSTR) "Office", (LPSTR) "LPT1:", 0x8080, 4, items);
    Table.AgentJobEnd((LPSTR) "Office", (LPSTR) "LPT1:", 42);

    std::vector<nlohmann::json> lines = Lines();
    ASSERT_EQ(lines.size(), 6u);
    std::vector<std::string> names;
    for (size_t i = 0; i < lines.size(); i++) {
        names.push_back(lines[i]["call"]);
        // Numbered in order (the count goes on while the library stays loaded).
        EXPECT_EQ(lines[i]["seq"].get<double>(), lines[0]["seq"].get<double>() + (double)i);
    }
    EXPECT_EQ(names,
              (std::vector<std::string>{"Vorl_LMGetEntryPoints", "AgentQuery", "AgentJobStart",
                                        "AgentJobStatus", "AgentJobItems", "AgentJobEnd"}));
    EXPECT_EQ(lines[1]["answer"], 0);
    nlohmann::json &start = lines[2];
    EXPECT_EQ(start["printer"], "Office");
    EXPECT_EQ(start["port"], "LPT1:");
    EXPECT_EQ(start["model"], "RVT-201");
    EXPECT_EQ(start["job"], 42);
    EXPECT_EQ(lines[3]["status"], "0x1000100");
    nlohmann::json &report = lines[4];
    EXPECT_EQ(report["status"], "0x8080");
    EXPECT_EQ(report["count"], 4);
    ASSERT_EQ(report["items"].size(), 4u);
    EXPECT_EQ(report["items"][0]["code"], 65539);
    EXPECT_EQ(report["items"][0]["values"][0]["number"], 10030);
    EXPECT_EQ(report["items"][1]["values"][0]["number"], 4);
    EXPECT_EQ(report["items"][2]["values"][0]["type"], 3);
    EXPECT_EQ(report["items"][2]["values"][0]["text"], "A\"b");
    EXPECT_TRUE(report["items"][3]["values"].empty());
    EXPECT_EQ(lines[5]["job"], 42);
    // Byte for byte as readers of the journal know it: fields in this order, no spaces.
    std::istringstream raw(ReadAll(Journal));
    std::vector<std::string> written(6);
    for (std::string &line : written)
        std::getline(raw, line);
    std::string seq = "{\"seq\":" + std::to_string(start["seq"].get<int>());
    EXPECT_EQ(written[2], seq + ",\"call\":\"AgentJobStart\",\"printer\":\"Office\",\"port\":"
                                "\"LPT1:\",\"model\":\"RVT-201\",\"job\":42,\"reserved\":[0,0],"
                                "\"answer\":0}");
    EXPECT_EQ(
        written[4].substr(written[4].find(",\"status\"")),
        ",\"status\":\"0x8080\",\"count\":4,\"items\":[{\"code\":65539,\"size\":24,"
        "\"values\":[{\"type\":1,\"length\":4,\"number\":10030}]},{\"code\":65600,\"size\":24,"
        "\"values\":[{\"type\":1,\"length\":4,\"number\":4}]},{\"code\":222,\"size\":28,"
        "\"values\":[{\"type\":3,\"length\":3,\"text\":\"A\\\"b\"}]},{\"code\":267,\"size\":16,"
        "\"values\":[]}],\"answer\":0}");
}

TEST_F(AgentTest, EscapesNamesSoEveryLineStaysValidJson) {
    // Quotes, backslash, control characters, a Latin-1 byte that is no
    // UTF-8, and a UTF-8 character.
    char printer[] = "Q\"uote\\back\nline\ttab\x01 caf\xE9 caf\xC3\xA9";
    Table.AgentJobStart(printer, (LPSTR) "LPT1:", nullptr, 1, 0, 0);
    std::vector<nlohmann::json> starts = Calls("AgentJobStart");
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0]["printer"], "Q\"uote\\back\nline\ttab\x01 caf\xC3\xA9 caf\xC3\xA9");
    EXPECT_TRUE(starts[0]["model"].is_null());
    std::string raw = ReadAll(Journal);
    EXPECT_EQ(std::count(raw.begin(), raw.end(), '\n'), 2) << "one line per call";
    EXPECT_NE(
        raw.find("\"printer\":\"Q\\\"uote\\\\back\\nline\\ttab\\u0001 caf\xC3\xA9 caf\xC3\xA9\","),
        std::string::npos)
        << raw;
}

TEST_F(AgentTest, HoldCountHoldsEachJobForItsFirstStartCalls) {
    SetDword("HoldCount", 2);
    EXPECT_EQ(Start(7), -1);
    EXPECT_EQ(Start(8), -1); // another job counts on its own
    EXPECT_EQ(Start(7), -1);
    EXPECT_EQ(Start(7), 0);
    EXPECT_EQ(Start(7), 0);
    EXPECT_EQ(Start(8), -1);
    EXPECT_EQ(Start(8), 0);
    EXPECT_EQ(Start(7, "LPT2:"), -1); // the same id on another port too

    // A job that ended starts counting afresh.
    Table.AgentJobEnd((LPSTR) "Printer", (LPSTR) "LPT1:", 7);
    EXPECT_EQ(Start(7), -1);
    std::vector<nlohmann::json> starts = Calls("AgentJobStart");
    ASSERT_EQ(starts.size(), 9u);
    EXPECT_EQ(starts[0]["answer"], -1);
    EXPECT_EQ(starts[3]["answer"], 0);
}

TEST_F(AgentTest, CancelJobsAnswersTheCancelBitOnceTheHoldIsOver) {
    SetDword("CancelJobs", 1);
    EXPECT_EQ(Start(3), AGENT_REPLY_CANCEL);
    SetDword("HoldCount", 1);
    EXPECT_EQ(Start(4), -1);
    EXPECT_EQ(Start(4), AGENT_REPLY_CANCEL);
    SetDword("CancelJobs", 2); // only 1 cancels
    EXPECT_EQ(Start(5), -1);
    EXPECT_EQ(Start(5), 0);
}

TEST_F(AgentTest, AnswersOfStatusCallsAndQueryComeFromTheRegistryAtEveryCall) {
    SetDword("StatusAnswer", 1);
    SetDword("Query", 0xFFFFFFFF);
    EXPECT_EQ(Table.AgentJobStatus((LPSTR) "P", (LPSTR) "LPT1:", 1, 0x80, 0, 0), 1);
    EXPECT_EQ(Table.AgentJobItems((LPSTR) "P", (LPSTR) "LPT1:", 0x2000, 0, nullptr), 1);
    EXPECT_EQ(Table.AgentQuery(), -1);
    DeleteValue("StatusAnswer");
    DeleteValue("Query");
    EXPECT_EQ(Table.AgentJobStatus((LPSTR) "P", (LPSTR) "LPT1:", 1, 0x80, 0, 0), 0);
    EXPECT_EQ(Table.AgentQuery(), 0);
    EXPECT_TRUE(Calls("AgentJobItems")[0]["items"].is_null());
}

TEST_F(AgentTest, KeepsNoJournalWithoutThePathAndNeverFailsForTheJournal) {
    DeleteValue("Journal");
    std::filesystem::remove(Journal);
    EXPECT_EQ(Start(1), 0);
    EXPECT_FALSE(std::filesystem::exists(Journal));

    // A journal that cannot be written changes no answer.
    SetText("Journal", Folder + "/missing-folder/journal.jsonl");
    SetDword("HoldCount", 1);
    EXPECT_EQ(Start(2), -1);
    EXPECT_EQ(Start(2), 0);

    // A path longer than the agent takes: no journal, the rest of the policy holds.
    SetText("Journal", Folder + "/" + std::string(5000, 'j'));
    EXPECT_EQ(Start(3), -1);
    // A path that cannot be converted (a lone surrogate): the calls answer as
    // if the agent were not configured, journal nothing and say so once.
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, PlatWide(AgentKey).c_str(), 0, KEY_WRITE, &key),
              ERROR_SUCCESS);
    const WCHAR lone[] = {'j', 0xD800, 0};
    ASSERT_EQ(RegSetValueExW(key, WSTR("Journal"), 0, REG_SZ, (const BYTE *)lone, sizeof(lone)),
              ERROR_SUCCESS);
    RegCloseKey(key);
    ASSERT_TRUE(PlatSetDebugOutput(Folder + "/debug.txt"));
    EXPECT_EQ(Start(4), 0) << "not held";
    EXPECT_EQ(Table.AgentQuery(), 0);
    PlatSetDebugOutput("");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(Folder),
                            std::filesystem::directory_iterator()),
              1)
        << "no journal";
    std::string debug = ReadAll(Folder + "/debug.txt");
    EXPECT_EQ(std::count(debug.begin(), debug.end(), '\n'), 1) << debug;
    EXPECT_NE(debug.find("RAVODIR: AgentJobStart"), std::string::npos) << debug;
}

TEST_F(AgentTest, ConcurrentCallsEachWriteOneWholeLine) {
    const int threads = 4, calls = 150;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; t++) {
        workers.emplace_back([this, t] {
            for (int i = 0; i < calls; i++) {
                DWORD job = (DWORD)(t * 1000 + i);
                Start(job);
                Table.AgentJobStatus((LPSTR) "Printer", (LPSTR) "LPT1:", job, 0x10, 0, 0);
            }
        });
    }
    for (std::thread &worker : workers)
        worker.join();
    std::vector<nlohmann::json> lines = Lines();
    ASSERT_EQ(lines.size(), 1u + threads * calls * 2);
    std::set<double> sequence;
    for (nlohmann::json &line : lines)
        sequence.insert(line["seq"].get<double>());
    EXPECT_EQ(sequence.size(), lines.size());
    EXPECT_EQ(*sequence.rbegin() - *sequence.begin() + 1, (double)lines.size());
}

} // namespace
