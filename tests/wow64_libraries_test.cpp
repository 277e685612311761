// Libraries loaded on demand under WOW64: with file-system redirection off, a
// 32-bit process's first load of a system library finds the 64-bit image and
// fails, so the cleaner loads the CryptoAPI provider's and the access-control
// provider's libraries before it switches redirection off.
#include <algorithm>

#include "fault_sweep.h"
#include "test_support.h"

namespace {

const std::string kBotId = "$dd614f2ed03f70d242d5ededb36097d0";
const std::string kUserHideout =
    "C:\\$Recycle.Bin\\S-1-5-21-1004336348-1177238915-682003330-1001\\" + kBotId;
const std::string kSystemHideout = "C:\\$Recycle.Bin\\S-1-5-18\\" + kBotId;



bool Has(const std::vector<std::string> &lines, const std::string &line)
{
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

size_t CountEnding(const std::vector<std::string> &lines, const std::string &prefix, const std::string &suffix)
{
  size_t n = 0;
  for (const std::string &l : lines)
    n += l.compare(0, prefix.size(), prefix) == 0 && l.size() >= suffix.size() &&
         l.compare(l.size() - suffix.size(), suffix.size(), suffix) == 0;
  return n;
}

class Wow64LibrariesTest : public SimTest {};

// The platform side: a provider context and an ACL, each of which loads its
// library on first use, in a 32-bit process on 64-bit Windows 7.
TEST_F(Wow64LibrariesTest, OnDemandLoadsFailOnlyWithRedirectionOffAndNothingPreloaded)
{
  const struct {
    const char *what;
    bool wow64, redirectionOff, preload;
    DWORD cryptError, aclError;  // ERROR_SUCCESS when the call works
  } cases[] = {
      {"32-bit Windows", false, false, false, ERROR_SUCCESS, ERROR_SUCCESS},
      {"WOW64, redirection on", true, false, false, ERROR_SUCCESS, ERROR_SUCCESS},
      {"WOW64, redirection off", true, true, false, NTE_PROVIDER_DLL_FAIL, ERROR_BAD_EXE_FORMAT},
      {"WOW64, redirection off, loaded before", true, true, true, ERROR_SUCCESS, ERROR_SUCCESS},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    FreshMachine();
    sim::InstallWindows(6, 1, VER_NT_WORKSTATION, c.wow64);
    HMODULE rsaenh = nullptr, ntmarta = nullptr;
    if (c.preload) {
      rsaenh = LoadLibraryA("C:\\Windows\\system32\\rsaenh.dll");
      ntmarta = LoadLibraryA("C:\\Windows\\system32\\ntmarta.dll");
      ASSERT_NE(nullptr, rsaenh);
      ASSERT_NE(nullptr, ntmarta);
    }
    sim::M().redirectionOff = c.redirectionOff;

    HCRYPTPROV provider = 0xdeadbeef;
    SetLastError(0xdeadbeef);
    BOOL acquired = CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT | CRYPT_SILENT);
    EXPECT_EQ(c.cryptError == ERROR_SUCCESS, acquired != FALSE);
    if (!acquired) {
      EXPECT_EQ(c.cryptError, GetLastError());
      EXPECT_EQ((HCRYPTPROV)0xdeadbeef, provider);
    }

    PSID everyone = nullptr;
    SID_IDENTIFIER_AUTHORITY world = {SECURITY_WORLD_SID_AUTHORITY};
    ASSERT_TRUE(AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone));
    EXPLICIT_ACCESS_W access = {};
    access.grfAccessPermissions = GENERIC_ALL;
    access.grfAccessMode = GRANT_ACCESS;
    access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    access.Trustee.ptstrName = (LPWSTR)everyone;
    PACL acl = (PACL)0xdeadbeef;
    EXPECT_EQ(c.aclError, SetEntriesInAclW(1, &access, nullptr, &acl));
    if (c.aclError == ERROR_SUCCESS)
      LocalFree(acl);
    else
      EXPECT_EQ((PACL)0xdeadbeef, acl);
    FreeSid(everyone);

    // The provider's library stays loaded for its context.
    if (acquired) {
      EXPECT_EQ(1u, sim::M().libraries.count("rsaenh.dll"));
      EXPECT_TRUE(CryptReleaseContext(provider, 0));
    }
    if (c.preload) {
      EXPECT_TRUE(FreeLibrary(rsaenh));
      EXPECT_TRUE(FreeLibrary(ntmarta));
    }
    EXPECT_TRUE(sim::M().libraries.empty()) << "every reference given back";
  }
}

TEST_F(Wow64LibrariesTest, LoadLibraryFindsSystemLibrariesThroughRedirection)
{
  const struct {
    const char *what;
    DWORD minor;
    bool wow64, redirectionOff;
    const char *path;
    DWORD error;  // ERROR_SUCCESS when loaded
  } cases[] = {
      {"32-bit system folder", 1, false, false, "C:\\Windows\\system32\\rsaenh.dll", ERROR_SUCCESS},
      {"WOW64, redirected to SysWOW64", 1, true, false, "C:\\Windows\\system32\\ntmarta.dll", ERROR_SUCCESS},
      {"WOW64, SysWOW64 named", 1, true, true, "C:\\Windows\\SysWOW64\\rsaenh.dll", ERROR_SUCCESS},
      {"WOW64, the native folder's 64-bit image", 1, true, true, "C:\\Windows\\system32\\rsaenh.dll",
       ERROR_BAD_EXE_FORMAT},
      {"bare name, redirection off", 1, true, true, "ntmarta.dll", ERROR_BAD_EXE_FORMAT},
      {"not in the system folder", 1, false, false, "C:\\Tools\\rsaenh.dll", ERROR_MOD_NOT_FOUND},
      {"Windows 7's CryptoAPI dispatch", 1, true, false, "C:\\Windows\\system32\\cryptsp.dll", ERROR_SUCCESS},
      {"no cryptsp.dll on Vista", 0, true, false, "C:\\Windows\\system32\\cryptsp.dll", ERROR_MOD_NOT_FOUND},
      {"unknown library", 1, false, false, "C:\\Windows\\system32\\nothing.dll", ERROR_MOD_NOT_FOUND},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    FreshMachine();
    sim::InstallWindows(6, c.minor, VER_NT_WORKSTATION, c.wow64);
    sim::M().redirectionOff = c.redirectionOff;
    SetLastError(0xdeadbeef);
    HMODULE module = LoadLibraryA(c.path);
    EXPECT_EQ(c.error == ERROR_SUCCESS, module != nullptr);
    if (!module) {
      EXPECT_EQ(c.error, GetLastError());
      continue;
    }
    EXPECT_EQ(1, sim::LibrariesHeld());
    // A bare name finds the loaded module of that name, whatever redirection
    // is then; a full path is looked for where it leads.
    sim::M().redirectionOff = true;
    std::string name = std::string(c.path).substr(std::string(c.path).rfind('\\') + 1);
    HMODULE again = LoadLibraryA(name.c_str());
    EXPECT_EQ(module, again);
    EXPECT_EQ(2, sim::LibrariesHeld());
    EXPECT_TRUE(FreeLibrary(module));
    EXPECT_TRUE(FreeLibrary(again));
    if (c.wow64 && !c.redirectionOff) {
      SetLastError(0xdeadbeef);
      EXPECT_EQ(nullptr, LoadLibraryA(c.path)) << "now the 64-bit image, and nothing of that name loaded";
      EXPECT_EQ((DWORD)ERROR_BAD_EXE_FORMAT, GetLastError());
    }
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(FreeLibrary(module)) << "no reference left to give back";
    EXPECT_EQ((DWORD)ERROR_MOD_NOT_FOUND, GetLastError());
  }
}

// The road of a typical cleaning on 64-bit Windows 7: with the libraries
// loaded before redirection goes off, the first run derives the BOT ID and
// empties both hideouts, and releases the libraries by its end.
TEST_F(Wow64LibrariesTest, InfectedWindows7x64ReachesTheHideoutRemoval)
{
  SweepOutcome o;
  std::string error;
  ASSERT_TRUE(RunScenario(ReadScenario("win7-x64-infected.json"), nullptr, &o, &error, true)) << error;
  for (const std::string &bad : CheckInvariants(o, nullptr))
    ADD_FAILURE() << bad;
  ASSERT_EQ(2u, o.runs.size());
  std::vector<std::string> log = CrLfLines(o.runs[0].log);
  EXPECT_TRUE(Has(log, "Detected post-Vista 64 bit windows system"));
  EXPECT_FALSE(Has(log, "Failed to generate BOT ID"));
  EXPECT_TRUE(Has(log, "Changing file permissions on file \\\\?\\" + kUserHideout + "... success"));
  EXPECT_TRUE(Has(log, "Removing file \\\\?\\" + kUserHideout + "\\modules\\m64.dll... success"));
  EXPECT_TRUE(Has(log, "Removing file \\\\?\\" + kSystemHideout + "\\svc.dat... success"));
  EXPECT_EQ(0u, CountEnding(log, "", "... failure") + CountEnding(log, "", "... failed"));
  EXPECT_TRUE(sim::ChildrenOf(kUserHideout).empty());
  EXPECT_TRUE(sim::ChildrenOf(kSystemHideout).empty());

  // The libraries were loaded while redirection was on, before its switch.
  bool loadedBeforeSwitch = false, switched = false;
  int loads = 0;
  for (const sim::CallRecord &c : o.calls) {
    if (c.function == "Wow64DisableWow64FsRedirection")
      switched = true;
    if (c.function == "LoadLibraryA" && !switched) {
      EXPECT_FALSE(c.redirectionOff);
      loads++;
    }
    if (c.function == "CryptAcquireContextW")
      loadedBeforeSwitch = switched && loads == 4;
  }
  EXPECT_TRUE(loadedBeforeSwitch) << "kernel32, then the three libraries, then the switch";
  EXPECT_EQ(sim::M().callCounts["LoadLibraryA"] - 2, sim::M().callCounts["FreeLibrary"])
      << "every library loaded in the two runs but kernel32 released";
}

// Without the preload (its load made to fail, as when the library is not
// found), the model makes the run end its removal as Windows would.
TEST_F(Wow64LibrariesTest, WithoutThePreloadTheRemovalFailsAsOnWindows)
{
  const struct {
    const char *what;
    int nth;  // LoadLibraryA call made to fail: 1 is kernel32
    bool botId;
  } cases[] = {
      {"provider library not loaded", 2, false},
      {"access-control provider not loaded", 4, true},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    FreshMachine();
    sim::Fault fault{"LoadLibraryA", c.nth, ERROR_MOD_NOT_FOUND};
    SweepOutcome o;
    std::string error;
    ASSERT_TRUE(RunScenario(ReadScenario("win7-x64-infected.json"), &fault, &o, &error, true)) << error;
    for (const std::string &bad : CheckInvariants(o, &fault))
      ADD_FAILURE() << bad;
    std::vector<std::string> log = CrLfLines(o.runs[0].log);
    EXPECT_EQ(!c.botId, Has(log, "Failed to generate BOT ID"));
    if (c.botId) {
      // The removal builds its descriptors from SDDL in advapi32 itself,
      // without the access-control provider: every DACL change still goes.
      EXPECT_EQ(2u + 5u, CountEnding(log, "Changing file permissions", "... success"));
      EXPECT_EQ(0u, CountEnding(log, "Changing file permissions", "... failure"));
    } else {
      EXPECT_EQ(0u, CountEnding(log, "Changing file permissions", ""));
      EXPECT_TRUE(sim::Exists(kUserHideout + "\\n.dll"));
      EXPECT_TRUE(sim::Exists(kSystemHideout + "\\svc.dat"));
    }
    EXPECT_TRUE(Has(log, "Cleaning finished"));
  }
}

}  // namespace
