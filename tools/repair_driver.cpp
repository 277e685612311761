// repair_driver: the infection repair's operations on the files and keys
// given on the command line, built for Windows and run under Wine; its
// verdicts are compared with tools/repair_verdicts on the same fixtures.
//   repair_driver ROOT COMMAND [ARGS] ...   (see tools/repair_checks.h)
#include <shlwapi.h>
#include <stdio.h>

#include "cleaner.h"
#include "repair_checks.h"

// The log writers of the repair, on standard output.
void LogLine(const char *message)
{
  printf("%s\n", message);
}

void LogRegistryPath(const char *message, HKEY root, const char *keyPath, const char *value)
{
  if (message[0] != '\0')
    printf("%s ", message);
  if (root == HKEY_CLASSES_ROOT)
    printf("HKCR\\%s ", keyPath);
  else if (root == HKEY_CURRENT_USER)
    printf("HKCU\\%s ", keyPath);
  else if (root == HKEY_LOCAL_MACHINE)
    printf("HKLM\\%s ", keyPath);
  if (value == NULL)
    printf("\n");
  else if (value[0] != '\0')
    printf("\"%s\"\n", value);
  else
    printf("\"\"\n");
}

// A prefix may have registered some of the classes already: start from none.
static void RemoveClasses(void)
{
  static const char *const classes[] = {
      "Software\\Classes\\CLSID\\{5839FCA9-774D-42A1-ACDA-D6A79037F57F}",
      "Software\\Classes\\CLSID\\{fbeb8a05-beee-4442-804e-409d6c4515e9}",
      "Software\\Classes\\CLSID\\{F3130CDB-AA52-4C3A-AB32-85FFC23AF9C1}",
      "Software\\Classes\\CLSID\\{42aedc87-2188-41fd-b9a3-0c966feabec1}",
  };
  for (const char *c : classes) {
    SHDeleteKeyA(HKEY_LOCAL_MACHINE, c);
    SHDeleteKeyA(HKEY_CURRENT_USER, c);
  }
}

int main(int argc, char **argv)
{
  int at = 2;
  if (argc < 2) {
    fprintf(stderr, "usage: repair_driver ROOT COMMAND [ARGS] ...\n");
    return 2;
  }
  setvbuf(stdout, NULL, _IONBF, 0);
  while (at < argc) {
    if (lstrcmpA(argv[at], "com-setup") == 0)
      RemoveClasses();
    int used = RunRepairCheck(argv[1], argc, argv, at);
    if (used == 0) {
      fprintf(stderr, "repair_driver: bad command at %s\n", argv[at]);
      return 2;
    }
    at += used;
  }
  return 0;
}
