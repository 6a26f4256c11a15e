// stick-sim's command line: every setting of the simulated stick.
#include "sim/stick_sim_options.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <set>

namespace flotilla::sim {
namespace {

const char kUsage[] =
    "usage: stick-sim [options]\n"
    "Ports and harness:\n"
    "  --link-dir DIR           link DIR/at and DIR/diag to the stick's ports (DIR is created)\n"
    "  --wine-prefix P          with --at-com N --diag-com M: link P/dosdevices/comN and comM\n"
    "                           and write the driver registrations into P's registry\n"
    "  --at-com N, --diag-com M COM numbers of the AT and DIAG ports in the Wine prefix\n"
    "  --at-service NAME        driver service announcing the AT port (qcusbmdm6k)\n"
    "  --diag-service NAME      driver service announcing the DIAG port (qcusbser6k)\n"
    "  --capture FILE           write every chunk of bytes on each port to FILE (its\n"
    "                           directory is created)\n"
    "  --ready-file FILE        written once the ports exist (the slave paths); removed\n"
    "                           while the stick re-enumerates\n"
    "  --log FILE               event log (default: standard error)\n"
    "  --latency-ms MS          delay before each reply starts (also --latency)\n"
    "  --bytes-per-second N     pace the bytes each way at this line rate (not paced)\n"
    "  --reply-ms MIN-MAX       each reply waits a further time between MIN and MAX ms,\n"
    "                           drawn from --reply-seed (no variation)\n"
    "  --reply-seed N           seed of the varying reply times (1)\n"
    "  --reenum-com-shift N     after each reset or switch the ports come back N higher in\n"
    "                           COM number, links and registrations too (0)\n"
    "Firmware:\n"
    "  --firmware-version TEXT  what \"AT+GMR\" answers\n"
    "  --diag-mode N            the \"AT+ZDIAG\" mode at start\n"
    "  --version-text N=TEXT    version set text N (1-9; text 9 carries the model tag)\n"
    "  --version-reply-length N bytes on the wire of the version set reply (4-2048; 0: all\n"
    "                           nine texts); picks the layout: <=130, 131-240, 241-290, >290\n"
    "  --esn N                  the ESN (decimal or 0x hex)\n"
    "  --build-id TEXT          the extended build id text\n"
    "  --download-check-result N  what the download check answers (0 accepted)\n"
    "  --spc DIGITS             the service programming code (six digits, 000000)\n"
    "  --spc-lockout-ms MS      DIAG silence after a wrong SPC (10000)\n"
    "  --spc-protected-nv IDS   NV items written only after the SPC (error 0x42)\n"
    "  --reset-needs-offline yes|no  refuse a DIAG reset and the switch to the boot\n"
    "                           downloader unless offline (yes)\n"
    "  --not-ready-polls N      readiness polls (4B 04 0E 00) answered \"not ready\" after\n"
    "                           each start of the firmware (2)\n"
    "  --inactive-nv IDS        NV items that answer status 5 (IDS: 1,5,20-30 or none)\n"
    "  --read-only-nv IDS       NV items that refuse writes with status 7 (0)\n"
    "  --state DIR              keep the NV items in DIR/nv-items.txt and the flash in\n"
    "                           DIR/flash/ across runs (DIR is created)\n"
    "  --reset-drop-ms MS       ports drop this long after a reset's answer (1500)\n"
    "  --reenum-ms MS           ports stay away this long after a reset (3000)\n"
    "  --diag-delay MS          delay before each DIAG reply (5)\n"
    "  --faults FILE            the fault plan (JSON, see the README)\n"
    "Download modes:\n"
    "  --programmer FILE        the flash programmer: the boot downloader starts an upload\n"
    "                           only when it begins with FILE (default: any upload)\n"
    "  --block-program-ms MS    the flash programmer's time to program one block (0)\n"
    "  --max-image-bytes N      largest image the flash programmer takes (64 MiB)\n"
    "  --efs-holds-nv yes|no    writing the file system image erases the NV items but the\n"
    "                           read-only ones, as a real reflash does (no)\n";

bool ParseNumber(const char* text, unsigned long long low, unsigned long long high,
                 unsigned long long& out) {
  char* end = nullptr;
  errno = 0;
  if (*text == '-') return false;
  unsigned long long v = std::strtoull(text, &end, 0);
  if (errno || end == text || *end || v < low || v > high) return false;
  out = v;
  return true;
}

template <typename T>
bool ParseInto(const char* text, unsigned long long low, unsigned long long high, T& out) {
  unsigned long long v = 0;
  if (!ParseNumber(text, low, high, v)) return false;
  out = static_cast<T>(v);
  return true;
}

// "1,5,20-30", or "none" for no items.
bool ParseIds(const std::string& text, std::set<uint16_t>& out) {
  out.clear();
  if (text == "none") return true;
  size_t start = 0;
  while (start <= text.size()) {
    size_t comma = text.find(',', start);
    std::string part = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    size_t dash = part.find('-');
    unsigned long long first = 0, last = 0;
    if (dash == std::string::npos) {
      if (!ParseNumber(part.c_str(), 0, 0xFFFF, first)) return false;
      last = first;
    } else if (!ParseNumber(part.substr(0, dash).c_str(), 0, 0xFFFF, first) ||
               !ParseNumber(part.substr(dash + 1).c_str(), first, 0xFFFF, last)) {
      return false;
    }
    for (unsigned long long id = first; id <= last; ++id) out.insert(static_cast<uint16_t>(id));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return true;
}

// "MIN-MAX" in milliseconds, MIN at most MAX and MAX above 0.
bool ParseRange(const std::string& text, unsigned& low, unsigned& high) {
  const size_t dash = text.find('-');
  if (dash == std::string::npos) return false;
  return ParseInto(text.substr(0, dash).c_str(), 0, 60000, low) &&
         ParseInto(text.substr(dash + 1).c_str(), std::max(1u, low), 60000, high);
}

bool ParseVersionText(const std::string& text, StickConfig& stick) {
  size_t eq = text.find('=');
  unsigned n = 0;
  if (eq == std::string::npos || !ParseInto(text.substr(0, eq).c_str(), 1, 9, n)) return false;
  std::string value = text.substr(eq + 1);
  if (value.size() > (n == 9 ? 31u : 30u)) return false;
  stick.version_texts[n - 1] = value;
  return true;
}

bool IsSpc(const std::string& text) {
  if (text.size() != 6) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  return true;
}

bool ParseValue(const std::string& a, const char* v, SimOptions& o, bool& known) {
  StickConfig& s = o.stick;
  known = true;
  std::string error;
  if (a == "--link-dir") o.link_dir = v;
  else if (a == "--wine-prefix") o.wine_prefix = v;
  else if (a == "--at-com") return ParseInto(v, 1, 255, o.at_com);
  else if (a == "--diag-com") return ParseInto(v, 1, 255, o.diag_com);
  else if (a == "--at-service") s.at_service = v;
  else if (a == "--diag-service") s.diag_service = v;
  else if (a == "--capture") o.capture = v;
  else if (a == "--ready-file") o.ready_file = v;
  else if (a == "--log") o.log_file = v;
  else if (a == "--latency" || a == "--latency-ms") return ParseInto(v, 0, 60000, o.link.latency_ms);
  else if (a == "--bytes-per-second") {
    o.paced = true;
    return ParseInto(v, 1, 100000000, o.link.bytes_per_second);
  } else if (a == "--programmer") {
    std::ifstream in(v, std::ios::binary);
    if (!in) return false;
    s.programmer.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    s.check_programmer = true;
  } else if (a == "--block-program-ms") return ParseInto(v, 0, 60000, s.block_program_ms);
  else if (a == "--reply-ms") return ParseRange(v, s.reply_ms_min, s.reply_ms_max);
  else if (a == "--reply-seed") return ParseInto(v, 0, 0xFFFFFFFFull, s.reply_seed);
  else if (a == "--reenum-com-shift") return ParseInto(v, 0, 100, s.reenum_com_shift);
  else if (a == "--not-ready-polls") return ParseInto(v, 0, 1000, s.not_ready_polls);
  else if (a == "--max-image-bytes") return ParseInto(v, 1, 0xFFFFFFFFull, s.max_image_bytes);
  else if (a == "--firmware-version") s.firmware_version = v;
  else if (a == "--diag-mode") return ParseInto(v, 0, 99, s.diag_mode);
  else if (a == "--version-text") return ParseVersionText(v, s);
  else if (a == "--version-reply-length") {
    return ParseInto(v, 0, 2048, s.version_reply_length) &&
           (s.version_reply_length == 0 || s.version_reply_length >= 4);
  } else if (a == "--esn") return ParseInto(v, 0, 0xFFFFFFFFull, s.esn);
  else if (a == "--build-id") {
    s.build_id = v;
    return s.build_id.size() <= 256;
  } else if (a == "--download-check-result") return ParseInto(v, 0, 0xFFFFFFFFull, s.download_check_result);
  else if (a == "--spc") {
    s.spc = v;
    return IsSpc(s.spc);
  } else if (a == "--spc-lockout-ms") return ParseInto(v, 0, 600000, s.spc_lockout_ms);
  else if (a == "--spc-protected-nv") return ParseIds(v, s.spc_protected_nv);
  else if (a == "--reset-needs-offline") {
    std::string b = v;
    s.reset_needs_offline = b == "yes";
    return b == "yes" || b == "no";
  } else if (a == "--efs-holds-nv") {
    std::string b = v;
    s.efs_holds_nv = b == "yes";
    return b == "yes" || b == "no";
  } else if (a == "--inactive-nv") return ParseIds(v, s.inactive_nv);
  else if (a == "--read-only-nv") return ParseIds(v, s.read_only_nv);
  else if (a == "--state") s.state_dir = v;
  else if (a == "--reset-drop-ms") return ParseInto(v, 0, 600000, s.reset_drop_ms);
  else if (a == "--reenum-ms") return ParseInto(v, 0, 600000, s.reenum_ms);
  else if (a == "--diag-delay") return ParseInto(v, 0, 60000, s.diag_reply_delay_ms);
  else if (a == "--faults") {
    if (!FaultPlan::Load(v, s.faults, error)) {
      std::fprintf(stderr, "stick-sim: %s\n", error.c_str());
      return false;
    }
  } else {
    known = false;
  }
  return true;
}

}  // namespace

int ParseSimOptions(int argc, char** argv, SimOptions& o) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return -1;
    }
    if (a.rfind("--", 0) != 0) {
      std::fprintf(stderr, "stick-sim: unexpected argument %s (every option is --NAME VALUE)\n%s", a.c_str(),
                   kUsage);
      return 2;
    }
    if (i + 1 >= argc) {
      SimOptions scratch;
      bool known = false;
      ParseValue(a, "", scratch, known);
      std::fprintf(stderr, known ? "stick-sim: %s needs a value\n%s" : "stick-sim: unknown option %s\n%s",
                   a.c_str(), kUsage);
      return 2;
    }
    const char* v = argv[++i];
    bool known = false;
    bool ok = ParseValue(a, v, o, known);
    if (!known) {
      std::fprintf(stderr, "stick-sim: unknown option %s\n%s", a.c_str(), kUsage);
      return 2;
    }
    if (!ok) {
      std::fprintf(stderr, "stick-sim: bad value for %s: %s\n%s", a.c_str(), v, kUsage);
      return 2;
    }
  }
  if (!o.wine_prefix.empty() && (o.at_com == 0 || o.diag_com == 0 || o.at_com == o.diag_com)) {
    std::fprintf(stderr, "stick-sim: --wine-prefix needs distinct --at-com and --diag-com\n%s", kUsage);
    return 2;
  }
  return 0;
}

}  // namespace flotilla::sim
