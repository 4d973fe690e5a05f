// The open help on Linux: device paths, errno, the dialout group, the
// process that holds a device, and the USB serial adapters present.
#include <dirent.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "serial/open_help.h"

namespace {

constexpr const char kByIdFolder[] = "/serial/by-id";
constexpr const char* kAdapterPrefixes[] = {"ttyUSB", "ttyACM"};
constexpr const char kProcFolder[] = "/proc";
constexpr const char kProcLocks[] = "/proc/locks";
constexpr size_t kMaxLocksLineSize = 256;
constexpr size_t kMaxProcessNameSize = 64;
constexpr const char kSerialGroup[] = "dialout";  // Debian's group for serial devices
constexpr const char kSuggestedPort[] = "COM1";
constexpr size_t kMaxGroups = 256;

std::string Plural(size_t n, const char* one, const char* many) { return n == 1 ? one : many; }

// ttyUSB<n> or ttyACM<n>: which prefix, and n; -1 for any other name.
long AdapterNumber(const std::string& name, size_t& prefix) {
  for (size_t i = 0; i < std::size(kAdapterPrefixes); ++i) {
    const std::string p = kAdapterPrefixes[i];
    if (name.size() <= p.size() || name.compare(0, p.size(), p) != 0) continue;
    const std::string digits = name.substr(p.size());
    if (digits.find_first_not_of("0123456789") != std::string::npos) return -1;
    prefix = i;
    return std::strtol(digits.c_str(), nullptr, 10);
  }
  return -1;
}

std::vector<std::string> FolderEntries(const std::string& folder) {
  std::vector<std::string> out;
  if (DIR* d = opendir(folder.c_str())) {
    while (const dirent* e = readdir(d))
      if (e->d_name[0] != '.') out.emplace_back(e->d_name);
    closedir(d);
  }
  return out;
}

// The path a symbolic link points to, resolved one step only, so that it
// names the device node as the folder shows it.
std::string LinkTarget(const std::string& link) {
  std::error_code ec;
  const std::filesystem::path target = std::filesystem::read_symlink(link, ec);
  if (ec) return {};
  if (target.is_absolute()) return target.lexically_normal();
  return (std::filesystem::path(link).parent_path() / target).lexically_normal();
}

bool SameFile(const std::string& a, const std::string& b) {
  struct stat sa{}, sb{};
  return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

std::string ProcessName(const std::string& pid) {
  std::string comm;
  if (std::FILE* f = std::fopen((std::string(kProcFolder) + "/" + pid + "/comm").c_str(), "r")) {
    char buf[kMaxProcessNameSize] = {};
    if (std::fgets(buf, sizeof buf, f)) comm = buf;
    std::fclose(f);
  }
  if (!comm.empty() && comm.back() == '\n') comm.pop_back();
  return (comm.empty() ? std::string("a program") : comm) + " (pid " + pid + ")";
}

// The processes that hold a lock on the file: /proc/locks names the device
// as major:minor:inode.
std::vector<std::string> LockHolders(const struct stat& target) {
  std::vector<std::string> out;
  std::FILE* f = std::fopen(kProcLocks, "r");
  if (f == nullptr) return out;
  char line[kMaxLocksLineSize];
  while (std::fgets(line, sizeof line, f)) {
    long pid = 0;
    unsigned major = 0, minor = 0;
    unsigned long inode = 0;
    // "1: FLOCK  ADVISORY  WRITE 1234 00:1a:3 0 EOF"
    if (std::sscanf(line, "%*s %*s %*s %*s %ld %x:%x:%lu", &pid, &major, &minor, &inode) != 4) continue;
    if (major == major(target.st_dev) && minor == minor(target.st_dev) && inode == target.st_ino &&
        pid != getpid())
      out.push_back(ProcessName(std::to_string(pid)));
  }
  std::fclose(f);
  return out;
}

// "name (pid N)" of the other processes that hold `device`: those with a
// lock on it, else those that have it open. Best effort: an ordinary user
// sees only the descriptors of their own processes.
std::vector<std::string> Holders(const std::string& device) {
  struct stat target{};
  if (stat(device.c_str(), &target) != 0) return {};
  if (std::vector<std::string> locked = LockHolders(target); !locked.empty()) return locked;
  std::vector<std::string> out;
  const std::string self = std::to_string(getpid());
  for (const std::string& pid : FolderEntries(kProcFolder)) {
    if (pid.find_first_not_of("0123456789") != std::string::npos || pid == self) continue;
    const std::string fdFolder = std::string(kProcFolder) + "/" + pid + "/fd";
    for (const std::string& fd : FolderEntries(fdFolder)) {
      struct stat s{};
      if (stat((fdFolder + "/" + fd).c_str(), &s) == 0 && s.st_dev == target.st_dev &&
          s.st_ino == target.st_ino) {
        out.push_back(ProcessName(pid));
        break;
      }
    }
  }
  return out;
}

// What to do about a device this user may not open.
std::string AccessAdvice(const std::string& device) {
  struct stat s{};
  if (stat(device.c_str(), &s) != 0) return {};
  const group* g = getgrgid(s.st_gid);
  const std::string groupName = g ? g->gr_name : std::to_string(s.st_gid);
  const passwd* pw = getpwuid(geteuid());
  const std::string user = pw ? pw->pw_name : std::to_string(geteuid());
  if (s.st_gid == 0 || (s.st_mode & (S_IRGRP | S_IWGRP)) != (S_IRGRP | S_IWGRP))
    return "Its group " + groupName + " may not use it either: ask the administrator for a udev rule "
           "that gives it to the group " + kSerialGroup + " (man tarvex, PERMISSIONS).\n";

  bool member = pw && pw->pw_gid == s.st_gid;
  if (g)
    for (char** m = g->gr_mem; *m && !member; ++m) member = user == *m;
  gid_t groups[kMaxGroups];
  const int n = getgroups(static_cast<int>(kMaxGroups), groups);
  const bool inThisLogin = n > 0 && std::find(groups, groups + n, s.st_gid) != groups + n;
  const std::string serialNote =
      groupName == kSerialGroup ? "" : std::string(" (on Debian serial devices belong to ") + kSerialGroup + ")";
  if (member && !inThisLogin)
    return "You are in the group " + groupName + ", but this login began before you were added: "
           "log out and in again.\n";
  return "It belongs to the group " + groupName + serialNote + ": add yourself with\n"
         "  sudo adduser " + user + " " + groupName + "\n"
         "and log out and in again: a new group counts only from a new login.\n";
}

}  // namespace

std::string SystemErrorText(int error) { return std::strerror(error); }

std::vector<SerialDevice> ListSerialDevices(const std::string& root) {
  struct Found {
    size_t prefix;
    long number;
    SerialDevice device;
  };
  std::vector<Found> found;
  for (const std::string& name : FolderEntries(root)) {
    size_t prefix = 0;
    const long number = AdapterNumber(name, prefix);
    if (number >= 0) found.push_back({prefix, number, {root + "/" + name, {}}});
  }
  // A by-id name stays the same whichever order adapters come up in: it is
  // the one to use, with the device it points to beside it.
  const std::string byId = root + kByIdFolder;
  std::vector<std::string> ids = FolderEntries(byId);
  std::sort(ids.begin(), ids.end());
  for (const std::string& id : ids) {
    const std::string target = LinkTarget(byId + "/" + id);
    for (Found& f : found) {
      if (f.device.device.empty() && f.device.name == target) {
        f.device.name = byId + "/" + id;
        f.device.device = target;
        break;
      }
    }
  }
  std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) {
    return a.prefix != b.prefix ? a.prefix < b.prefix : a.number < b.number;
  });
  std::vector<SerialDevice> out;
  for (const Found& f : found) out.push_back(f.device);
  return out;
}

std::string OpenFailureHelp(const OpenFailure& failure, const std::vector<std::string>& commandLine,
                            const std::vector<SerialDevice>& present) {
  using Kind = OpenFailure::Kind;
  std::string help;
  const std::string& dev = failure.device;
  const std::string var = "TARVEX_" + failure.name;
  const std::string systemText = failure.systemError ? SystemErrorText(failure.systemError) : "";
  switch (failure.kind) {
    case Kind::kNone:
      return {};
    case Kind::kAlreadyOpen:
      return failure.name + ": this program has a port open already.\n";
    case Kind::kBadName:
      help += failure.name + " names no port: COM names need a number from 1 up, without leading "
              "zeros (COM1, COM2, ...).\n";
      break;
    default:
      if (failure.mapped)
        help += failure.name + " stands for " + dev + " (from " + var + ").\n";
      else
        help += failure.name + " stands for " + dev + " (" + var + " is not set).\n";
      break;
  }
  switch (failure.kind) {
    case Kind::kNoDevice:
      help += dev + ": no such device (" + systemText + ").\n";
      break;
    case Kind::kNoAccess:
      help += dev + ": permission denied: this user may not open it.\n" + AccessAdvice(dev);
      break;
    case Kind::kHeld: {
      const std::vector<std::string> holders = Holders(dev);
      if (holders.empty()) {
        help += dev + ": another program holds it; close that program and try again.\n";
      } else {
        std::string names;
        for (const std::string& h : holders) names += (names.empty() ? "" : ", ") + h;
        help += dev + ": held by " + names + "; close " + Plural(holders.size(), "it", "them") +
                " and try again.\n";
      }
      break;
    }
    case Kind::kNotSerial:
      help += dev + ": not a serial device (" + systemText + ").\n";
      break;
    case Kind::kRefused:
      help += dev + ": the device refused the settings (" + std::to_string(failure.baud) +
              " baud, 8N1, raw); try another speed.\n";
      break;
    case Kind::kOther:
      help += dev + ": " + systemText + ".\n";
      break;
    default:
      break;
  }

  // The devices the user may have meant, each with the line that uses it.
  const bool nameWorks = failure.kind != Kind::kBadName;
  const std::string port = nameWorks ? failure.name : kSuggestedPort;
  const std::string portOption = nameWorks ? "" : std::string("-") + kSuggestedPort;
  std::vector<const SerialDevice*> others;
  for (const SerialDevice& d : present)
    if (dev.empty() || (!SameFile(d.name, dev) && d.name != dev)) others.push_back(&d);
  if (others.empty()) {
    if (failure.kind == Kind::kNoDevice || failure.kind == Kind::kBadName ||
        failure.kind == Kind::kNotSerial)
      help += "No USB serial adapter (/dev/ttyUSB*, /dev/ttyACM*) is present: plug one in, or set " +
              std::string("TARVEX_") + port + " to the device.\n";
    return help;
  }
  help += std::string(others.size() == 1 ? "This serial device is" : "These serial devices are") +
          " present; the line that uses " + Plural(others.size(), "it", "each") + ":\n";
  for (const SerialDevice* d : others) {
    help += "  " + (d->device.empty() ? d->name : d->device + " (" + d->name + ")") + "\n";
    help += "    TARVEX_" + port + "=" + d->name + " " + SuggestedCommand(commandLine, portOption) + "\n";
  }
  return help;
}
