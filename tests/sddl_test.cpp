// SDDL strings converted to self-relative descriptors by the simulated
// ConvertStringSecurityDescriptorToSecurityDescriptorA.
#include "security.h"
#include "test_support.h"

namespace {

class SddlTest : public SimTest {
protected:
  // Converts through the platform call and reads the block back.
  static bool Convert(const std::string &sddl, sim::SecurityDescriptor *sd, ULONG *size = nullptr)
  {
    PSECURITY_DESCRIPTOR block = NULL;
    ULONG length = 0xdeadbeef;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1, &block, &length))
      return false;
    EXPECT_EQ(1u, sim::M().localBlocks.count(block)) << "from LocalAlloc";
    EXPECT_EQ(sim::M().localBlocks[block], length);
    const uint8_t *b = (const uint8_t *)block;
    EXPECT_EQ(SECURITY_DESCRIPTOR_REVISION, b[0]);
    EXPECT_TRUE((b[2] | (b[3] << 8)) & SE_SELF_RELATIVE);
    EXPECT_TRUE(sim::ParseSecurityDescriptor(block, length, sd));
    if (size)
      *size = length;
    LocalFree(block);
    return true;
  }
};

// The descriptors of the known-good dataset: owner, group, DACL and, in one,
// a SACL; literal service and domain SIDs among the aliases.
TEST_F(SddlTest, DatasetDescriptorsConvert)
{
  struct {
    const char *sddl;
    const char *owner, *group;
    size_t daclAces;
    bool hasSacl;
    size_t saclAces;
    WORD control;
  } cases[] = {
      {"O:BAG:SYD:AI(A;ID;KR;;;BU)(A;CIIOID;GR;;;BU)(A;ID;KR;;;PU)(A;CIIOID;GR;;;PU)(A;ID;KA;;;BA)(A;CIIOID;GA;;;BA)(A;ID;KA;;;SY)(A;CIIOID;GA;;;SY)(A;CIIOID;GA;;;CO)",
       "S-1-5-32-544", "S-1-5-18", 9, false, 0, SE_DACL_AUTO_INHERITED},
      {"O:BAG:SYD:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)",
       "S-1-5-32-544", "S-1-5-18", 2, false, 0, SE_DACL_PROTECTED},
      {"O:BAG:S-1-5-21-397955417-626881126-188441444-513D:AI(A;ID;KR;;;BU)(A;CIIOID;GR;;;BU)(A;ID;KA;;;BA)(A;CIIOID;GA;;;BA)(A;ID;KA;;;SY)(A;CIIOID;GA;;;SY)(A;CIIOID;GA;;;CO)",
       "S-1-5-32-544", "S-1-5-21-397955417-626881126-188441444-513", 7, false, 0, SE_DACL_AUTO_INHERITED},
      {"O:BAG:S-1-5-21-397955417-626881126-188441444-513D:PAI(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CI;CCDCLCSWRPRC;;;S-1-5-80-1383147646-27650227-2710666058-1662982300-1023958487)",
       "S-1-5-32-544", "S-1-5-21-397955417-626881126-188441444-513", 3, false, 0, SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED},
      {"O:BAG:BAD:PAI(A;;KA;;;SY)(A;CIIO;GA;;;SY)(A;;CCSWRPWPRC;;;BA)(A;CIIO;GXGR;;;BA)(A;;CCSWRPWPRC;;;BU)(A;CIIO;GXGR;;;BU)S:AI(AU;SAFA;WDWO;;;BA)",
       "S-1-5-32-544", "S-1-5-32-544", 6, true, 1, SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED | SE_SACL_AUTO_INHERITED},
      {"O:SYG:SYD:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)",
       "S-1-5-18", "S-1-5-18", 2, false, 0, SE_DACL_PROTECTED},
      {"O:BAG:S-1-5-21-397955417-626881126-188441444-513D:PAI(A;;KA;;;BA)(A;CIIO;GA;;;BA)(A;;KA;;;SY)(A;CIIO;GA;;;SY)(A;;CCDCLCSWRPSDRC;;;S-1-5-80-62724632-2456781206-3863850748-1496050881-1042387526)",
       "S-1-5-32-544", "S-1-5-21-397955417-626881126-188441444-513", 5, false, 0, SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED},
      {"O:BAG:S-1-5-21-397955417-626881126-188441444-513D:AI(A;CI;CCDC;;;S-1-5-80-979556362-403687129-3954533659-2335141334-1547273080)(A;CI;CCRP;;;S-1-5-80-3088073201-1464728630-1879813800-1107566885-823218052)(A;ID;KR;;;BU)(A;CIIOID;GR;;;BU)(A;ID;KA;;;BA)(A;CIIOID;GA;;;BA)(A;ID;KA;;;SY)(A;CIIOID;GA;;;SY)(A;CIIOID;GA;;;CO)",
       "S-1-5-32-544", "S-1-5-21-397955417-626881126-188441444-513", 9, false, 0, SE_DACL_AUTO_INHERITED},
      {"O:BAG:S-1-5-21-397955417-626881126-188441444-513D:AI(A;CI;CCDC;;;S-1-5-80-62724632-2456781206-3863850748-1496050881-1042387526)(A;CI;CCRP;;;S-1-5-80-3088073201-1464728630-1879813800-1107566885-823218052)(A;ID;KR;;;BU)(A;CIIOID;GR;;;BU)(A;ID;KA;;;BA)(A;CIIOID;GA;;;BA)(A;ID;KA;;;SY)(A;CIIOID;GA;;;SY)(A;CIIOID;GA;;;CO)",
       "S-1-5-32-544", "S-1-5-21-397955417-626881126-188441444-513", 9, false, 0, SE_DACL_AUTO_INHERITED},
      {"O:BAG:S-1-5-21-397955417-626881126-188441444-513D:AI(A;;KA;;;S-1-5-80-3088073201-1464728630-1879813800-1107566885-823218052)(A;OICIIO;GA;;;S-1-5-80-3088073201-1464728630-1879813800-1107566885-823218052)(A;ID;KR;;;BU)(A;CIIOID;GR;;;BU)(A;ID;KA;;;BA)(A;CIIOID;GA;;;BA)(A;ID;KA;;;SY)(A;CIIOID;GA;;;SY)(A;CIIOID;GA;;;CO)",
       "S-1-5-32-544", "S-1-5-21-397955417-626881126-188441444-513", 9, false, 0, SE_DACL_AUTO_INHERITED},
      {"O:BAG:S-1-5-21-397955417-626881126-188441444-513D:AI(A;ID;KA;;;S-1-5-80-3088073201-1464728630-1879813800-1107566885-823218052)(A;OICIIOID;GA;;;S-1-5-80-3088073201-1464728630-1879813800-1107566885-823218052)(A;ID;KR;;;BU)(A;CIIOID;GR;;;BU)(A;ID;KA;;;BA)(A;CIIOID;GA;;;BA)(A;ID;KA;;;SY)(A;CIIOID;GA;;;SY)(A;CIIOID;GA;;;CO)",
       "S-1-5-32-544", "S-1-5-21-397955417-626881126-188441444-513", 9, false, 0, SE_DACL_AUTO_INHERITED},
      {"O:BAG:S-1-5-21-397955417-626881126-188441444-513D:AI(A;CI;CCDC;;;S-1-5-80-3088073201-1464728630-1879813800-1107566885-823218052)(A;ID;KR;;;BU)(A;CIIOID;GR;;;BU)(A;ID;KA;;;BA)(A;CIIOID;GA;;;BA)(A;ID;KA;;;SY)(A;CIIOID;GA;;;SY)(A;CIIOID;GA;;;CO)",
       "S-1-5-32-544", "S-1-5-21-397955417-626881126-188441444-513", 8, false, 0, SE_DACL_AUTO_INHERITED},
      {"O:LSG:LSD:AI(A;ID;KA;;;S-1-5-80-3088073201-1464728630-1879813800-1107566885-823218052)(A;OICIIOID;GA;;;S-1-5-80-3088073201-1464728630-1879813800-1107566885-823218052)(A;ID;KR;;;BU)(A;CIIOID;GR;;;BU)(A;ID;KA;;;BA)(A;CIIOID;GA;;;BA)(A;ID;KA;;;SY)(A;CIIOID;GA;;;SY)(A;ID;KA;;;LS)(A;CIIOID;GA;;;CO)",
       "S-1-5-19", "S-1-5-19", 10, false, 0, SE_DACL_AUTO_INHERITED},
      {"O:SYG:SYD:AI(A;ID;KR;;;BU)(A;CIIOID;GR;;;BU)(A;ID;KA;;;BA)(A;CIIOID;GA;;;BA)(A;ID;KA;;;SY)(A;CIIOID;GA;;;SY)(A;CIIOID;GA;;;CO)",
       "S-1-5-18", "S-1-5-18", 7, false, 0, SE_DACL_AUTO_INHERITED},
      {"O:BAG:BAD:AI(A;ID;KR;;;BU)(A;CIIOID;GR;;;BU)(A;ID;KA;;;BA)(A;CIIOID;GA;;;BA)(A;ID;KA;;;SY)(A;CIIOID;GA;;;SY)(A;CIIOID;GA;;;CO)",
       "S-1-5-32-544", "S-1-5-32-544", 7, false, 0, SE_DACL_AUTO_INHERITED},
      {"O:BAG:BAD:PAI(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CI;CCDCLCSWRPRC;;;S-1-5-80-1383147646-27650227-2710666058-1662982300-1023958487)",
       "S-1-5-32-544", "S-1-5-32-544", 3, false, 0, SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED},
      {"O:BAG:BAD:AI(A;CIID;KA;;;SY)(A;CIID;KA;;;BA)(A;CIID;CCDCLCSWRPRC;;;S-1-5-80-1383147646-27650227-2710666058-1662982300-1023958487)",
       "S-1-5-32-544", "S-1-5-32-544", 3, false, 0, SE_DACL_AUTO_INHERITED},
      {"O:BAG:BAD:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CI;CCDCLCSWRPRC;;;S-1-5-80-1383147646-27650227-2710666058-1662982300-1023958487)",
       "S-1-5-32-544", "S-1-5-32-544", 3, false, 0, SE_DACL_PROTECTED},
      {"O:BAG:BAD:PAI(A;;KA;;;BA)(A;CIIO;GA;;;BA)(A;;KR;;;BU)(A;CIIO;GR;;;BU)(A;;KA;;;SY)(A;CIIO;GA;;;SY)(A;;CCDCLCSWRPSDRC;;;S-1-5-80-62724632-2456781206-3863850748-1496050881-1042387526)",
       "S-1-5-32-544", "S-1-5-32-544", 7, false, 0, SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED},
      {"O:SYG:SYD:AI(A;ID;KA;;;BA)(A;CIIOID;GA;;;BA)(A;ID;KR;;;BU)(A;CIIOID;GR;;;BU)(A;ID;KA;;;SY)(A;CIIOID;GA;;;SY)",
       "S-1-5-18", "S-1-5-18", 6, false, 0, SE_DACL_AUTO_INHERITED},
      {"O:BAG:BAD:PAI(A;CI;CCDC;;;S-1-5-80-2940520708-3855866260-481812779-327648279-1710889582)(A;CI;CCDC;;;S-1-5-80-3526382388-830156861-4107432654-3665941875-1028450966)(A;CI;CCRP;;;S-1-5-80-3088073201-1464728630-1879813800-1107566885-823218052)(A;OI;CCRP;;;SY)(A;OI;CCRP;;;BA)",
       "S-1-5-32-544", "S-1-5-32-544", 5, false, 0, SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED},
      {"O:BAG:BAD:PAI(A;CI;CCDC;;;S-1-5-80-62724632-2456781206-3863850748-1496050881-1042387526)(A;CI;CCRP;;;S-1-5-80-3088073201-1464728630-1879813800-1107566885-823218052)(A;OI;CCRP;;;SY)(A;OI;CCRP;;;BA)",
       "S-1-5-32-544", "S-1-5-32-544", 4, false, 0, SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED},
      {"O:BAG:BAD:AI(A;;CCDCLCSWRPSDRC;;;S-1-5-80-3088073201-1464728630-1879813800-1107566885-823218052)(A;OICIIO;SDGWGR;;;S-1-5-80-3088073201-1464728630-1879813800-1107566885-823218052)(A;;CCDCLCSWRPSDRC;;;SY)(A;OICIIO;SDGWGR;;;SY)(A;;CCDCLCSWRPSDRC;;;BA)(A;OICIIO;SDGWGR;;;BA)(A;ID;KR;;;BU)(A;CIIOID;GR;;;BU)(A;ID;KA;;;BA)(A;CIIOID;GA;;;BA)(A;ID;KA;;;SY)(A;CIIOID;GA;;;SY)(A;CIIOID;GA;;;CO)",
       "S-1-5-32-544", "S-1-5-32-544", 13, false, 0, SE_DACL_AUTO_INHERITED},
      {"O:BAG:BAD:AI(A;ID;CCDCLCSWRPSDRC;;;S-1-5-80-3088073201-1464728630-1879813800-1107566885-823218052)(A;OICIIOID;SDGWGR;;;S-1-5-80-3088073201-1464728630-1879813800-1107566885-823218052)(A;ID;CCDCLCSWRPSDRC;;;SY)(A;OICIIOID;SDGWGR;;;SY)(A;ID;CCDCLCSWRPSDRC;;;BA)(A;OICIIOID;SDGWGR;;;BA)(A;ID;KR;;;BU)(A;CIIOID;GR;;;BU)(A;ID;KA;;;BA)(A;CIIOID;GA;;;BA)(A;ID;KA;;;SY)(A;CIIOID;GA;;;SY)(A;CIIOID;GA;;;CO)",
       "S-1-5-32-544", "S-1-5-32-544", 13, false, 0, SE_DACL_AUTO_INHERITED},
      {"O:BAG:BAD:AI(A;CI;CCDC;;;S-1-5-80-3088073201-1464728630-1879813800-1107566885-823218052)(A;ID;KR;;;BU)(A;CIIOID;GR;;;BU)(A;ID;KA;;;BA)(A;CIIOID;GA;;;BA)(A;ID;KA;;;SY)(A;CIIOID;GA;;;SY)(A;CIIOID;GA;;;CO)",
       "S-1-5-32-544", "S-1-5-32-544", 8, false, 0, SE_DACL_AUTO_INHERITED},
      {"O:LSG:LSD:AI(A;ID;CCDCLCSWRPSDRC;;;S-1-5-80-3088073201-1464728630-1879813800-1107566885-823218052)(A;OICIIOID;SDGWGR;;;S-1-5-80-3088073201-1464728630-1879813800-1107566885-823218052)(A;ID;CCDCLCSWRPSDRC;;;SY)(A;OICIIOID;SDGWGR;;;SY)(A;ID;CCDCLCSWRPSDRC;;;BA)(A;OICIIOID;SDGWGR;;;BA)(A;ID;KR;;;BU)(A;CIIOID;GR;;;BU)(A;ID;KA;;;BA)(A;CIIOID;GA;;;BA)(A;ID;KA;;;SY)(A;CIIOID;GA;;;SY)(A;ID;KA;;;LS)(A;CIIOID;GA;;;CO)",
       "S-1-5-19", "S-1-5-19", 14, false, 0, SE_DACL_AUTO_INHERITED},
      {"O:SYG:SYD:AI(A;ID;CCDCLCSWRPSDRC;;;S-1-5-80-3088073201-1464728630-1879813800-1107566885-823218052)(A;OICIIOID;SDGWGR;;;S-1-5-80-3088073201-1464728630-1879813800-1107566885-823218052)(A;ID;CCDCLCSWRPSDRC;;;SY)(A;OICIIOID;SDGWGR;;;SY)(A;ID;CCDCLCSWRPSDRC;;;BA)(A;OICIIOID;SDGWGR;;;BA)(A;ID;KR;;;BU)(A;CIIOID;GR;;;BU)(A;ID;KA;;;BA)(A;CIIOID;GA;;;BA)(A;ID;KA;;;SY)(A;CIIOID;GA;;;SY)(A;CIIOID;GA;;;CO)",
       "S-1-5-18", "S-1-5-18", 13, false, 0, SE_DACL_AUTO_INHERITED},
      {"O:BAG:SYD:AI(A;;KA;;;SY)(A;;KR;;;BA)(A;ID;KR;;;BU)(A;CIIOID;GR;;;BU)(A;ID;KR;;;PU)(A;CIIOID;GR;;;PU)(A;ID;KA;;;BA)(A;CIIOID;GA;;;BA)(A;ID;KA;;;SY)(A;CIIOID;GA;;;SY)(A;CIIOID;GA;;;CO)",
       "S-1-5-32-544", "S-1-5-18", 11, false, 0, SE_DACL_AUTO_INHERITED},
      {"O:BAG:S-1-5-21-1476802820-2018171420-1012886164-513D:AI(A;ID;KR;;;BU)(A;CIIOID;GR;;;BU)(A;ID;KR;;;PU)(A;CIIOID;GR;;;PU)(A;ID;KA;;;BA)(A;CIIOID;GA;;;BA)(A;ID;KA;;;SY)(A;CIIOID;GA;;;SY)(A;CIIOID;GA;;;CO)",
       "S-1-5-32-544", "S-1-5-21-1476802820-2018171420-1012886164-513", 9, false, 0, SE_DACL_AUTO_INHERITED},
      {"O:BAG:BAD:PAI(A;CI;CCDC;;;S-1-5-80-979556362-403687129-3954533659-2335141334-1547273080)(A;CI;CCRP;;;S-1-5-80-3088073201-1464728630-1879813800-1107566885-823218052)(A;OI;CCRP;;;SY)(A;OI;CCRP;;;BA)",
       "S-1-5-32-544", "S-1-5-32-544", 4, false, 0, SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED},
  };
  const WORD flags = SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED | SE_SACL_PROTECTED | SE_SACL_AUTO_INHERITED;
  for (auto &c : cases) {
    SCOPED_TRACE(c.sddl);
    sim::SecurityDescriptor sd;
    ASSERT_TRUE(Convert(c.sddl, &sd));
    EXPECT_EQ(c.owner, sim::SidToString(sd.owner.data()));
    EXPECT_EQ(c.group, sim::SidToString(sd.group.data()));
    EXPECT_TRUE(sd.hasDacl);
    EXPECT_EQ(c.daclAces, sd.dacl.size());
    EXPECT_EQ(c.hasSacl, sd.hasSacl);
    EXPECT_EQ(c.saclAces, sd.sacl.size());
    EXPECT_EQ(c.control, sd.control & flags);
    // Read back, the descriptor builds to the same bytes again.
    std::vector<uint8_t> direct;
    ASSERT_TRUE(sim::SddlToSelfRelative(c.sddl, &direct));
    EXPECT_EQ(direct, sim::BuildSelfRelative(sd));
  }
}

TEST_F(SddlTest, AcesDecoded)
{
  sim::SecurityDescriptor sd;
  ASSERT_TRUE(Convert("O:BAG:BAD:PAI(A;;CCSWRPWPRC;;;BA)(A;CIIO;GXGR;;;BU)(A;CIIOID;GA;;;CO)"
                      "(D;OICINP;0x1F01FF;;;S-1-5-80-1383147646-27650227-2710666058-1662982300-1023958487)"
                      "S:AI(AU;SAFA;WDWO;;;WD)",
                      &sd));
  struct {
    BYTE type, flags;
    DWORD mask;
    const char *sid;
  } dacl[] = {
      {ACCESS_ALLOWED_ACE_TYPE, 0, 0x20039, "S-1-5-32-544"},
      {ACCESS_ALLOWED_ACE_TYPE, CONTAINER_INHERIT_ACE | INHERIT_ONLY_ACE, GENERIC_EXECUTE | GENERIC_READ, "S-1-5-32-545"},
      {ACCESS_ALLOWED_ACE_TYPE, CONTAINER_INHERIT_ACE | INHERIT_ONLY_ACE | INHERITED_ACE, GENERIC_ALL, "S-1-3-0"},
      {ACCESS_DENIED_ACE_TYPE, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE | NO_PROPAGATE_INHERIT_ACE, 0x1F01FF,
       "S-1-5-80-1383147646-27650227-2710666058-1662982300-1023958487"},
  };
  ASSERT_EQ(4u, sd.dacl.size());
  for (size_t i = 0; i < 4; i++) {
    SCOPED_TRACE(i);
    EXPECT_EQ(dacl[i].type, sd.dacl[i].type);
    EXPECT_EQ(dacl[i].flags, sd.dacl[i].flags);
    EXPECT_EQ(dacl[i].mask, sd.dacl[i].mask);
    EXPECT_EQ(dacl[i].sid, sim::SidToString(sd.dacl[i].sid.data()));
  }
  ASSERT_EQ(1u, sd.sacl.size());
  EXPECT_EQ(SYSTEM_AUDIT_ACE_TYPE, sd.sacl[0].type);
  EXPECT_EQ(SUCCESSFUL_ACCESS_ACE_FLAG | FAILED_ACCESS_ACE_FLAG, sd.sacl[0].flags);
  EXPECT_EQ((DWORD)(WRITE_DAC | WRITE_OWNER), sd.sacl[0].mask);
  EXPECT_EQ("S-1-1-0", sim::SidToString(sd.sacl[0].sid.data()));
}

TEST_F(SddlTest, RightsAndAliases)
{
  struct {
    const char *rights;
    DWORD mask;
  } rights[] = {
      {"KA", KEY_ALL_ACCESS}, {"KR", KEY_READ}, {"KW", KEY_WRITE}, {"KX", KEY_EXECUTE},
      {"GA", GENERIC_ALL}, {"GR", GENERIC_READ}, {"GW", GENERIC_WRITE}, {"GX", GENERIC_EXECUTE},
      {"CCDCLCSWRPWPDTLOCR", 0x1FF}, {"SDRCWDWO", 0xF0000}, {"SDGWGR", DELETE | GENERIC_WRITE | GENERIC_READ},
      {"FA", FILE_ALL_ACCESS}, {"0x10", 0x10}, {"", 0},
  };
  for (auto &r : rights) {
    SCOPED_TRACE(r.rights);
    sim::SecurityDescriptor sd;
    ASSERT_TRUE(Convert(std::string("D:(A;;") + r.rights + ";;;WD)", &sd));
    ASSERT_EQ(1u, sd.dacl.size());
    EXPECT_EQ(r.mask, sd.dacl[0].mask);
  }
  struct {
    const char *alias, *sid;
  } aliases[] = {
      {"BA", "S-1-5-32-544"}, {"BU", "S-1-5-32-545"}, {"BG", "S-1-5-32-546"}, {"PU", "S-1-5-32-547"},
      {"SY", "S-1-5-18"},     {"LS", "S-1-5-19"},     {"NS", "S-1-5-20"},     {"AU", "S-1-5-11"},
      {"IU", "S-1-5-4"},      {"AN", "S-1-5-7"},      {"WD", "S-1-1-0"},      {"CO", "S-1-3-0"},
      {"CG", "S-1-3-1"},      {"S-1-5-21-1476802820-2018171420-1012886164-513", "S-1-5-21-1476802820-2018171420-1012886164-513"},
  };
  for (auto &a : aliases) {
    SCOPED_TRACE(a.alias);
    sim::SecurityDescriptor sd;
    ASSERT_TRUE(Convert(std::string("O:") + a.alias + "G:" + a.alias + "D:(A;;KA;;;" + a.alias + ")", &sd));
    EXPECT_EQ(a.sid, sim::SidToString(sd.owner.data()));
    EXPECT_EQ(a.sid, sim::SidToString(sd.group.data()));
    EXPECT_EQ(a.sid, sim::SidToString(sd.dacl[0].sid.data()));
  }
}

TEST_F(SddlTest, PartsLeftOut)
{
  sim::SecurityDescriptor sd;
  ASSERT_TRUE(Convert("", &sd));
  EXPECT_TRUE(sd.owner.empty());
  EXPECT_FALSE(sd.hasDacl);
  EXPECT_FALSE(sd.hasSacl);
  ASSERT_TRUE(Convert("D:", &sd)) << "an empty DACL, which grants nothing";
  EXPECT_TRUE(sd.hasDacl);
  EXPECT_EQ(0u, sd.dacl.size());
  ASSERT_TRUE(Convert("G:SYO:BA", &sd)) << "parts in any order";
  EXPECT_EQ("S-1-5-32-544", sim::SidToString(sd.owner.data()));
}

TEST_F(SddlTest, MalformedStringsFail)
{
  struct {
    const char *sddl;
    DWORD error;
  } cases[] = {
      {"O:XX", ERROR_INVALID_SID},
      {"O:S-1-5-", ERROR_INVALID_SID},
      {"O:S-2-5-18", ERROR_INVALID_SID},
      {"O:S-1-5-1-2-3-4-5-6-7-8-9-10-11-12-13-14-15-16", ERROR_INVALID_SID},
      {"O:", ERROR_INVALID_SID},
      {"D:(A;;KA;;;XX)", ERROR_INVALID_ACL},
      {"D:(A;;KA;;;S-1-x)", ERROR_INVALID_ACL},
      {"D:(A;;KA;;;BA", ERROR_INVALID_ACL},
      {"D:((A;;KA;;;BA))", ERROR_INVALID_ACL},
      {"D:(A;;KA;;;BA))", ERROR_INVALID_PARAMETER},
      {"D:(Z;;KA;;;BA)", ERROR_INVALID_ACL},
      {"D:(A;XX;KA;;;BA)", ERROR_INVALID_ACL},
      {"D:(A;;QQ;;;BA)", ERROR_INVALID_ACL},
      {"D:(A;;K;;;BA)", ERROR_INVALID_ACL},
      {"D:(A;;0xZ;;;BA)", ERROR_INVALID_ACL},
      {"D:(A;;KA;;BA)", ERROR_INVALID_ACL},
      {"D:(A;;KA;;;;BA)", ERROR_INVALID_ACL},
      {"D:(A;;KA;bf967aba-0de6-11d0-a285-00aa003049e2;;BA)", ERROR_INVALID_ACL},
      {"D:Q(A;;KA;;;BA)", ERROR_INVALID_PARAMETER},
      {"X:BA", ERROR_INVALID_PARAMETER},
      {"O:BAO:SY", ERROR_INVALID_PARAMETER},
      {"O:BA G:SY x", ERROR_INVALID_PARAMETER},
  };
  for (auto &c : cases) {
    SCOPED_TRACE(c.sddl);
    PSECURITY_DESCRIPTOR sd = (PSECURITY_DESCRIPTOR)0x1234;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(ConvertStringSecurityDescriptorToSecurityDescriptorA(c.sddl, SDDL_REVISION_1, &sd, NULL));
    EXPECT_EQ(c.error, GetLastError());
    EXPECT_EQ((PSECURITY_DESCRIPTOR)0x1234, sd);
    EXPECT_EQ(0u, sim::M().localBlocks.size());
  }
}

TEST_F(SddlTest, BadArguments)
{
  PSECURITY_DESCRIPTOR sd = NULL;
  EXPECT_FALSE(ConvertStringSecurityDescriptorToSecurityDescriptorA("O:BA", SDDL_REVISION_1 + 1, &sd, NULL));
  EXPECT_EQ((DWORD)ERROR_UNKNOWN_REVISION, GetLastError());
  EXPECT_FALSE(ConvertStringSecurityDescriptorToSecurityDescriptorA(NULL, SDDL_REVISION_1, &sd, NULL));
  EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
  EXPECT_FALSE(ConvertStringSecurityDescriptorToSecurityDescriptorA("O:BA", SDDL_REVISION_1, NULL, NULL));
  EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
  EXPECT_EQ(nullptr, sd);
}

}  // namespace
