// vexa-sim: runs a program that uses libvexa against simulated chips. The
// simulator is a libusb 0.1 with the real one's SONAME; putting its folder
// first in LD_LIBRARY_PATH makes the loader pick it for libvexa, so the
// program runs unchanged. The chips are handed over in VEXA_SIM_CHIPS, which
// the simulator reads at the first usb_init.
#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char kSimLibrary[] = "libusb-0.1.so.4";
const char kDefaultChip[] = "r4,serial=VS000001,desc=Simulated chip,eeprom=64";

void usage(FILE *out) {
  std::fprintf(out,
               "Usage: vexa-sim [--chip CHIP]... [--pty] [--pty-link PATH] [--] PROGRAM [ARGS...]\n"
               "Runs PROGRAM with libvexa talking to simulated chips.\n\n"
               "  --chip CHIP      add a chip: type[,key=value...] with type single, r2, r4 or\n"
               "                   dual and keys serial, desc, manufacturer, vid, pid, bcd,\n"
               "                   packet, eeprom (64, 128 or 256 words), eeprom-file (PATH of\n"
               "                   a raw image kept across runs), loopback (0/1); repeatable.\n"
               "                   Without --chip: VEXA_SIM_CHIPS if set (\"\" means no chip),\n"
               "                   else \"%s\".\n"
               "  --pty            give every simulated channel a pseudo-terminal (names on stderr)\n"
               "  --pty-link PATH  --pty, plus a symbolic link to each pseudo-terminal: PATH for\n"
               "                   a single-channel chip, PATH-A and PATH-B for a dual one (chips\n"
               "                   after the first add their number: PATH-1, PATH-1-A, ...)\n"
               "  --help           show this text\n\n"
               "VEXA_SIM_LIBDIR overrides the folder of the simulated %s. See vexa-sim(1).\n",
               kDefaultChip, kSimLibrary);
}

bool file_exists(const std::string &path) { return access(path.c_str(), R_OK) == 0; }

std::string own_folder() {
  std::vector<char> path(4096);
  ssize_t n = readlink("/proc/self/exe", path.data(), path.size() - 1);
  if (n <= 0) return ".";
  std::string exe(path.data(), static_cast<size_t>(n));
  return exe.substr(0, exe.find_last_of('/'));
}

// The installed layout first (relative to this program), then the build tree.
std::string find_sim_folder() {
  if (const char *forced = std::getenv("VEXA_SIM_LIBDIR")) return forced;
  const std::string installed = own_folder() + "/" VEXA_SIM_RELATIVE_DIR;
  if (file_exists(installed + "/" + kSimLibrary)) return installed;
#ifdef VEXA_SIM_BUILD_DIR
  if (file_exists(std::string(VEXA_SIM_BUILD_DIR) + "/" + kSimLibrary)) return VEXA_SIM_BUILD_DIR;
#endif
  return std::string();
}

// Lets the simulator's own parser judge a description, so that a typo is
// reported here, naming the bad part, rather than as an empty bus inside the
// program.
bool chip_text_valid(const std::string &folder, const std::string &chip, std::string &why) {
  void *sim = dlopen((folder + "/" + kSimLibrary).c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!sim) {
    why = dlerror();
    return false;
  }
  using AddChips = int (*)(const char *, char *, size_t);
  using Reset = void (*)();
  auto add = reinterpret_cast<AddChips>(dlsym(sim, "vexa_sim_add_chips_checked"));
  auto reset = reinterpret_cast<Reset>(dlsym(sim, "vexa_sim_reset"));
  bool ok = true;
  if (add && reset) {
    char message[512] = {0};
    ok = add(chip.c_str(), message, sizeof message) >= 0;
    reset();
    if (!ok) why = message;
  }
  dlclose(sim);
  return ok;
}

}  // namespace

int main(int argc, char **argv) {
  std::vector<std::string> chips;
  bool pty = false;
  std::string pty_link;
  int i = 1;
  for (; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--") {
      ++i;
      break;
    } else if (arg == "--help" || arg == "-h") {
      usage(stdout);
      return 0;
    } else if (arg == "--pty") {
      pty = true;
    } else if (arg == "--pty-link" && i + 1 < argc) {
      pty = true;
      pty_link = argv[++i];
    } else if (arg.compare(0, 11, "--pty-link=") == 0) {
      pty = true;
      pty_link = arg.substr(11);
    } else if (arg == "--chip" && i + 1 < argc) {
      chips.push_back(argv[++i]);
    } else if (arg.compare(0, 7, "--chip=") == 0) {
      chips.push_back(arg.substr(7));
    } else if (!arg.empty() && arg[0] == '-') {
      std::fprintf(stderr, "vexa-sim: unknown option '%s'\n", arg.c_str());
      usage(stderr);
      return 2;
    } else {
      break;
    }
  }
  if (i >= argc) {
    std::fprintf(stderr, "vexa-sim: no PROGRAM given\n");
    usage(stderr);
    return 2;
  }

  const std::string folder = find_sim_folder();
  if (folder.empty()) {
    std::fprintf(stderr, "vexa-sim: cannot find the simulated %s (set VEXA_SIM_LIBDIR)\n", kSimLibrary);
    return 1;
  }
  // The simulator starts its pty bridge when it is loaded with VEXA_SIM_PTY
  // set; the checks below load it into this process, which must not.
  const char *inherited_pty = std::getenv("VEXA_SIM_PTY");
  if (inherited_pty) {
    pty = true;
    unsetenv("VEXA_SIM_PTY");
  }
  std::string chip_text;
  for (const std::string &chip : chips) {
    std::string why;
    if (!chip_text_valid(folder, chip, why)) {
      std::fprintf(stderr, "vexa-sim: invalid --chip: %s\n", why.c_str());
      return 2;
    }
    chip_text += (chip_text.empty() ? "" : ";") + chip;
  }
  if (chips.empty()) {
    // Set but empty means a bus without chips; unset means the default chip.
    const char *inherited = std::getenv("VEXA_SIM_CHIPS");
    chip_text = inherited ? inherited : kDefaultChip;
    std::string why;
    if (inherited && !chip_text_valid(folder, chip_text, why)) {
      std::fprintf(stderr, "vexa-sim: invalid VEXA_SIM_CHIPS: %s\n", why.c_str());
      return 2;
    }
  }

  std::string path = folder;
  if (const char *old = std::getenv("LD_LIBRARY_PATH"))
    if (*old) path += std::string(":") + old;
  setenv("LD_LIBRARY_PATH", path.c_str(), 1);
  setenv("VEXA_SIM_CHIPS", chip_text.c_str(), 1);
  if (pty) setenv("VEXA_SIM_PTY", "1", 1);
  if (!pty_link.empty()) setenv("VEXA_SIM_PTY_LINK", pty_link.c_str(), 1);

  execvp(argv[i], argv + i);
  std::fprintf(stderr, "vexa-sim: cannot run %s: %s\n", argv[i], std::strerror(errno));
  return 127;
}
