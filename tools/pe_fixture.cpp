// pe_fixture: writes the PE fixtures of the repair checks as real files, for
// the Windows driver under Wine and the host counterpart alike.
//   pe_fixture DIR
// DIR/images holds single images (header cases, versions); DIR/windows/winsxs
// a small component store for the clean-copy search.
#include <filesystem>
#include <fstream>
#include <iostream>

#include "pe_image.h"

namespace fs = std::filesystem;

static sim::PeImageOptions Options(bool x64, bool dynamicBase, const char *version)
{
  sim::PeImageOptions options;
  options.x64 = x64;
  options.dynamicBase = dynamicBase;
  if (version)
    sim::ParseVersionText(version, options.version);
  else
    options.versionResource = false;
  return options;
}

static bool Write(const fs::path &path, const std::vector<uint8_t> &bytes)
{
  std::error_code ec;
  fs::create_directories(path.parent_path(), ec);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write((const char *)bytes.data(), (std::streamsize)bytes.size());
  return (bool)out;
}

int main(int argc, char **argv)
{
  if (argc != 2) {
    std::cerr << "usage: pe_fixture DIR\n";
    return 2;
  }
  fs::path dir = argv[1];
  std::error_code ec;
  fs::remove_all(dir, ec);
  bool ok = true;

  struct Image {
    const char *name;
    sim::PeImageOptions options;
  };
  std::vector<Image> images = {
      {"x64-dynamic-base.exe", Options(true, true, "6.1.7601.17514")},
      {"x64-fixed-base.exe", Options(true, false, "6.1.7601.17514")},
      {"x86-dynamic-base.exe", Options(false, true, "6.0.6002.18005")},
      {"x86-fixed-base.exe", Options(false, false, "6.0.6002.18005")},
      {"no-version.exe", Options(true, true, nullptr)},
      {"max-version.exe", Options(true, true, "65535.65535.65535.65535")},
  };
  Image cut4096{"size-4096.exe", Options(true, false, "6.1.7601.17514")};
  cut4096.options.size = 4096;
  Image cut4097{"size-4097.exe", Options(true, false, "6.1.7601.17514")};
  cut4097.options.size = 4097;
  Image late{"lfanew-3848.exe", Options(false, false, "6.0.6002.18005")};
  late.options.peOffset = 3848;
  Image tooLate{"lfanew-3849.exe", Options(false, false, "6.0.6002.18005")};
  tooLate.options.peOffset = 3849;
  images.insert(images.end(), {cut4096, cut4097, late, tooLate});
  for (const Image &i : images)
    ok &= Write(dir / "images" / i.name, sim::BuildPeImage(i.options));

  std::vector<uint8_t> negative = sim::BuildPeImage(Options(true, false, "6.1.7601.17514"));
  negative[0x3F] = 0x80;  // e_lfanew with its top bit set
  ok &= Write(dir / "images" / "lfanew-negative.exe", negative);
  std::vector<uint8_t> noSignature = sim::BuildPeImage(Options(true, false, "6.1.7601.17514"));
  noSignature[0x81] = 'X';
  ok &= Write(dir / "images" / "no-pe-signature.exe", noSignature);
  ok &= Write(dir / "images" / "not-an-image.txt", std::vector<uint8_t>(5000, 'x'));

  fs::path sxs = dir / "windows" / "winsxs";
  const struct {
    const char *folder;
    sim::PeImageOptions options;
  } store[] = {
      {"amd64_microsoft-windows-services_31bf3856ad364e35_6.1.7601.17514_none_2b2e3bff5a3d7d5f",
       Options(true, true, "6.1.7601.17514")},
      {"amd64_microsoft-windows-services_31bf3856ad364e35_6.1.7600.16385_none_2b0d6b2f5a56b6bd",
       Options(true, true, "6.1.7600.16385")},
      {"x86_microsoft-windows-services_31bf3856ad364e35_6.0.6002.18005_none_patched", Options(false, false, "6.0.6002.18005")},
      {"x86_microsoft-windows-services_31bf3856ad364e35_6.0.6002.18005_none_clean", Options(false, true, "6.0.6002.18005")},
      {"amd64_microsoft-windows-shell_31bf3856ad364e35_none_unversioned", Options(true, true, nullptr)},
      {"amd64_microsoft-windows-tcpip_31bf3856ad364e35_6.1.7601.17514_none", Options(true, true, "6.1.7601.17514")},
  };
  for (const auto &s : store)
    ok &= Write(sxs / s.folder / "services.exe", sim::BuildPeImage(s.options));
  fs::create_directories(sxs / "amd64_microsoft-windows-scripting_31bf3856ad364e35_none_empty", ec);
  fs::create_directories(sxs / "amd64_microsoft-windows-security_31bf3856ad364e35_none_folder" / "services.exe", ec);
  ok &= Write(sxs / "amd64_microsoft-windows-servicingstack.manifest", std::vector<uint8_t>(10, 'm'));

  for (const Image &i : images)
    std::cout << "images/" << i.name << "\n";
  std::cout << "images/lfanew-negative.exe\nimages/no-pe-signature.exe\nimages/not-an-image.txt\n";
  if (!ok)
    std::cerr << "pe_fixture: cannot write " << dir << "\n";
  return ok ? 0 : 1;
}
