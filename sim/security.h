// Binary security structures of the simulated platform: SIDs, ACLs and
// self-relative security descriptors in the platform's own layout, and the
// access check that keys and files are opened against.
#ifndef SIM_SECURITY_H
#define SIM_SECURITY_H

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

// "S-1-5-32-544" <-> binary SID (revision 1, authority, sub-authorities).
bool SidFromString(const std::string &text, std::vector<uint8_t> *sid);
std::string SidToString(const uint8_t *sid);
size_t SidLength(const uint8_t *sid);  // 8 + 4 * sub-authority count
bool SidValid(const uint8_t *sid, size_t available);

struct Ace {
  BYTE type = ACCESS_ALLOWED_ACE_TYPE;  // or ACCESS_DENIED_ACE_TYPE, SYSTEM_AUDIT_ACE_TYPE
  BYTE flags = 0;
  DWORD mask = 0;
  std::vector<uint8_t> sid;
};

struct SecurityDescriptor {
  WORD control = 0;  // SE_* flags other than SE_SELF_RELATIVE
  std::vector<uint8_t> owner, group;
  bool hasDacl = false, hasSacl = false;
  std::vector<Ace> dacl, sacl;
};

std::vector<uint8_t> BuildAcl(const std::vector<Ace> &aces);
bool ParseAcl(const uint8_t *acl, size_t available, std::vector<Ace> *aces);
std::vector<uint8_t> BuildSelfRelative(const SecurityDescriptor &sd);
// Reads a self-relative descriptor (or, with absolute = true, the platform's
// absolute layout of pointers).
bool ParseSecurityDescriptor(const void *sd, size_t available, SecurityDescriptor *out);

// Generic rights of keys and files mapped to their specific rights.
DWORD MapGenericKey(DWORD mask);
DWORD MapGenericFile(DWORD mask);

// The SIDs of the simulated process token: its user, Everyone, the
// Administrators and Users groups, Authenticated Users, Interactive.
std::vector<std::string> TokenSids();

// Does the descriptor grant the whole desired access (specific rights) to
// the token? An empty descriptor or one without a DACL grants everything;
// the owner is always granted READ_CONTROL and WRITE_DAC.
bool AccessGranted(const std::vector<uint8_t> &selfRelative, DWORD desired, bool isKey);

// The extent of a self-relative descriptor: the furthest end of its parts.
size_t SelfRelativeLength(const uint8_t *sd);

// SDDL to a self-relative descriptor, as ConvertStringSecurityDescriptorTo-
// SecurityDescriptorA converts it (sim/sddl.cpp); false on a malformed string.
bool SddlToSelfRelative(const std::string &sddl, std::vector<uint8_t> *sd);

// The owner and primary group the token gives to objects it creates.
std::string TokenDefaultOwner();
std::string TokenPrimaryGroup();

// The descriptor a new key receives under a parent with this descriptor
// (empty for the simulated default, which allows everything).
std::vector<uint8_t> InheritKeyDescriptor(const std::vector<uint8_t> &parentDescriptor);

}  // namespace sim

#endif
