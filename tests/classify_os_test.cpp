// Which editions the cleaner accepts, and the code each one gets.
#include "test_support.h"

namespace {

struct EditionCase {
  const char *edition;
  DWORD major, minor;
  BYTE productType;
  DWORD expected;
};

const EditionCase kEditions[] = {
    {"Windows XP", 5, 1, VER_NT_WORKSTATION, 0x51},
    {"XP Professional x64", 5, 2, VER_NT_WORKSTATION, 0x52},
    {"Server 2003", 5, 2, VER_NT_SERVER, 0x80000052},
    {"Server 2003 domain controller", 5, 2, VER_NT_DOMAIN_CONTROLLER, 0x80000052},
    {"Vista", 6, 0, VER_NT_WORKSTATION, 0x60},
    {"Windows 7", 6, 1, VER_NT_WORKSTATION, 0x61},
    {"Server 2008 R2", 6, 1, VER_NT_SERVER, 0x80000061},
    {"Server 2008 R2 domain controller", 6, 1, VER_NT_DOMAIN_CONTROLLER, 0x80000061},
    {"Server 2008", 6, 0, VER_NT_SERVER, OS_UNSUPPORTED},
    {"Windows 2000", 5, 0, VER_NT_WORKSTATION, OS_UNSUPPORTED},
    {"Windows 2000 Server", 5, 0, VER_NT_SERVER, OS_UNSUPPORTED},
    {"XP server product type", 5, 1, VER_NT_SERVER, OS_UNSUPPORTED},
    {"Windows 8", 6, 2, VER_NT_WORKSTATION, OS_UNSUPPORTED},
    {"Windows 8.1", 6, 3, VER_NT_WORKSTATION, OS_UNSUPPORTED},
    {"Windows 10", 10, 0, VER_NT_WORKSTATION, OS_UNSUPPORTED},
};

class ClassifyOsTest : public SimTest {};

TEST_F(ClassifyOsTest, EditionTable)
{
  for (const EditionCase &c : kEditions) {
    SCOPED_TRACE(c.edition);
    FreshMachine();
    sim::M().major = c.major;
    sim::M().minor = c.minor;
    sim::M().productType = c.productType;
    EXPECT_EQ(c.expected, ClassifyOs());
    EXPECT_EQ("", sim::M().console) << "classification prints nothing";
  }
}

TEST_F(ClassifyOsTest, FailedVersionQueryIsRefused)
{
  sim::FailCall("GetVersionExW", 0, ERROR_INVALID_PARAMETER);
  EXPECT_EQ(OS_UNSUPPORTED, ClassifyOs());
}

TEST_F(ClassifyOsTest, AsksWithTheExtendedRecord)
{
  // The simulated query refuses any record size but 276 and 284; only the
  // 284-byte record carries the product type.
  sim::M().major = 6;
  sim::M().minor = 1;
  sim::M().productType = VER_NT_SERVER;
  EXPECT_EQ(0x80000061u, ClassifyOs());
  EXPECT_EQ(284u, sizeof(OSVERSIONINFOEXW));
  EXPECT_EQ(276u, sizeof(OSVERSIONINFOW));
}

}  // namespace
