// natctl: reads natd's tables from its control port and shows them as
// aligned tables, as JSON or as Prometheus metrics (natd's own addition).
//
// It sends "CONNS" once per round and parses the numbered reply: every
// table is a header line "x0-title", entry lines "x1-...", optional extra
// lines and a count line "x9-N entries"; the reply ends with "200 OK".
// Tables natctl knows (control connections, ARP, UDP, ICMP, TCP, TCP
// accept) are split into columns; any other table is shown line by line, so
// that tables added to natd later still show. A reply that breaks this
// structure, or a known table line that does not parse, is an error.
//
// Exit statuses: 0 success, 1 usage, 2 no connection or I/O error (time-out
// included), 3 garbled or refused reply.
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <getopt.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <optional>
#include <regex>
#include <string>
#include <vector>

namespace {

enum ExitStatus { kOk = 0, kUsage = 1, kIoError = 2, kBadReply = 3 };

constexpr size_t kReplyMax = 64u << 20;
const char kRunDir[] = "/var/run";
const char kSocketPrefix[] = "qlnat.";

struct Failure {
  int status;
  std::string text;
};

[[noreturn]] void Fail(int status, const std::string &text) { throw Failure{status, text}; }

// ---- connection ---------------------------------------------------------------

struct Target {
  enum Kind { kNone, kPid, kPath, kTcp } kind = kNone;
  std::string text;  // pid digits, socket path, or host:port
};

bool AllDigits(const std::string &s) {
  return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
}

// A positional target: digits are a pid, host:port without a slash is TCP,
// anything else a socket path.
Target GuessTarget(const std::string &arg) {
  if (AllDigits(arg)) return {Target::kPid, arg};
  if (arg.find('/') == std::string::npos && arg.rfind(':') != std::string::npos)
    return {Target::kTcp, arg};
  return {Target::kPath, arg};
}

// With no target: the one control socket in /var/run.
std::string FindOnlySocket() {
  std::vector<std::string> found;
  if (DIR *d = opendir(kRunDir)) {
    while (struct dirent *e = readdir(d)) {
      std::string name = e->d_name;
      if (name.rfind(kSocketPrefix, 0) != 0 || !AllDigits(name.substr(strlen(kSocketPrefix))))
        continue;
      std::string path = std::string(kRunDir) + "/" + name;
      struct stat st;
      if (stat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) found.push_back(path);
    }
    closedir(d);
  }
  if (found.empty()) Fail(kIoError, "no natd control socket in /var/run (give -p, -s or -t)");
  if (found.size() > 1) Fail(kIoError, "several natd control sockets in /var/run (give -p PID)");
  return found[0];
}

int ConnectUnix(const std::string &path) {
  struct sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) Fail(kUsage, "socket path too long: " + path);
  memcpy(addr.sun_path, path.data(), path.size());
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) Fail(kIoError, std::string("socket: ") + strerror(errno));
  if (connect(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) != 0) {
    int err = errno;
    close(fd);
    Fail(kIoError, "cannot connect to " + path + ": " + strerror(err));
  }
  return fd;
}

int ConnectTcp(const std::string &hostPort) {
  size_t colon = hostPort.rfind(':');
  if (colon == std::string::npos || colon + 1 == hostPort.size())
    Fail(kUsage, "expected HOST:PORT, got " + hostPort);
  std::string host = hostPort.substr(0, colon), port = hostPort.substr(colon + 1);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);
  struct addrinfo hints = {}, *list = nullptr;
  hints.ai_socktype = SOCK_STREAM;
  int rc = getaddrinfo(host.c_str(), port.c_str(), &hints, &list);
  if (rc != 0) Fail(kIoError, "cannot resolve " + hostPort + ": " + gai_strerror(rc));
  int fd = -1, err = 0;
  for (struct addrinfo *ai = list; ai && fd < 0; ai = ai->ai_next) {
    fd = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
    if (fd >= 0 && connect(fd, ai->ai_addr, ai->ai_addrlen) != 0) {
      err = errno;
      close(fd);
      fd = -1;
    }
  }
  freeaddrinfo(list);
  if (fd < 0) Fail(kIoError, "cannot connect to " + hostPort + ": " + strerror(err));
  return fd;
}

int Connect(const Target &t) {
  switch (t.kind) {
    case Target::kPid:
      return ConnectUnix(std::string(kRunDir) + "/" + kSocketPrefix + t.text);
    case Target::kPath:
      return ConnectUnix(t.text);
    case Target::kTcp:
      return ConnectTcp(t.text);
    case Target::kNone:
      break;
  }
  return ConnectUnix(FindOnlySocket());
}

bool IsFinalLine(const std::string &line) {
  return line.size() >= 4 && isdigit(line[0]) && isdigit(line[1]) && isdigit(line[2]) &&
         line[3] == ' ';
}

// Sends CONNS and returns the reply's lines (without CR LF) up to and
// including the final one.
std::vector<std::string> Exchange(const Target &t, int timeoutMs) {
  int fd = Connect(t);
  const char cmd[] = "CONNS\r\n";
  if (send(fd, cmd, sizeof cmd - 1, MSG_NOSIGNAL) != ssize_t(sizeof cmd - 1)) {
    int err = errno;
    close(fd);
    Fail(kIoError, std::string("cannot send the command: ") + strerror(err));
  }
  std::string data;
  std::vector<std::string> lines;
  size_t start = 0;
  for (;;) {
    struct pollfd p = {fd, POLLIN, 0};
    int ready = poll(&p, 1, timeoutMs);
    if (ready == 0) {
      close(fd);
      Fail(kIoError, "no complete reply within " + std::to_string(timeoutMs / 1000.0) + " s");
    }
    char buf[65536];
    ssize_t n = ready < 0 ? -1 : read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int err = errno;
      close(fd);
      Fail(kIoError, std::string("read: ") + strerror(err));
    }
    if (n == 0) {
      close(fd);
      Fail(kBadReply, lines.empty() && data.empty() ? "connection closed without a reply"
                                                    : "reply ended before its final line");
    }
    data.append(buf, size_t(n));
    if (data.size() > kReplyMax) {
      close(fd);
      Fail(kBadReply, "reply larger than 64 MiB");
    }
    for (size_t nl; (nl = data.find('\n', start)) != std::string::npos; start = nl + 1) {
      std::string line = data.substr(start, nl - start);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      lines.push_back(line);
      if (IsFinalLine(line)) {
        const char quit[] = "QUIT\r\n";
        (void)!send(fd, quit, sizeof quit - 1, MSG_NOSIGNAL);
        close(fd);
        return lines;
      }
    }
  }
}

// ---- reply model --------------------------------------------------------------

struct Column {
  const char *title;  // table heading
  const char *key;    // JSON key
  bool number;        // JSON number (or null when "-")
};

struct Row {
  std::vector<std::string> cells;  // "-" when absent
};

struct Table {
  int code = 0;         // tens digit pair: 21 for lines 210..219
  std::string title;    // text of the header line
  std::string name;     // short name (JSON key, metric label)
  const std::vector<Column> *columns = nullptr;
  std::vector<Row> rows;
  std::vector<std::pair<int, std::string>> extra;  // other lines: code, text
  unsigned count = 0;
};

struct Reply {
  std::vector<Table> tables;
  long segmentsSent = -1, retransmissions = -1;
};

// One known table: its code, name, columns and the pattern of its entries
// (one capture group per column; an unmatched optional group shows "-").
struct Known {
  int code;
  const char *name;
  std::vector<Column> columns;
  std::regex entry;
};

const std::vector<Known> &KnownTables() {
  static const std::string ip = R"((\d+\.\d+\.\d+\.\d+))";
  static const std::vector<Known> known = {
      {21, "control", {{"FD", "fd", true}, {"PEER", "peer", false}}, std::regex(R"(fd (\d+), from (.*))")},
      {22,
       "arp",
       {{"IP", "ip", false},
        {"MAC", "mac", false},
        {"DISCOVERY", "discovery_attempt", true},
        {"QUEUED", "queued", false},
        {"VALID(s)", "valid_seconds", true}},
       std::regex(ip + R"( => ([0-9A-F:]{17}|\?\?:\?\?:\?\?:\?\?:\?\?:\?\?))"
                       R"((?:, doing discovery, (\d+) attempt)?(, queued packets)?)"
                       R"((?:, (-?\d+\.\d\d) sec valid)?)")},
      {23,
       "udp",
       {{"FD", "fd", true},
        {"GUEST", "guest", false},
        {"LOCAL PORT", "local_port", true},
        {"TIMEOUT(s)", "timeout_seconds", true}},
       std::regex(R"(fd (\d+), from )" + ip + R"(/(\d+)(?: via local port (\d+))?(?: \(timeout (-?\d+) sec\))?)")},
      {24,
       "icmp",
       {{"GUEST", "guest", false},
        {"DESTINATION", "destination", false},
        {"ID", "id", true},
        {"SEQ", "seq", true},
        {"EXPIRES", "expires", false}},
       std::regex("from " + ip + " to " + ip + R"(, id=(\d+), seq=(\d+), expires at (.+) GMT)")},
      {25,
       "tcp",
       {{"FD", "fd", true},
        {"GUEST", "guest", false},
        {"REMOTE", "remote", false},
        {"STATE", "state", false}},
       std::regex(R"(fd (\d+), from )" + ip + R"(/(\d+) to )" + ip + R"(/(\d+) state (-?\d+))")},
      {26,
       "tcp_accept",
       {{"FD", "fd", true},
        {"ALLOWED", "allowed", false},
        {"HOST PORT", "host_port", true},
        {"GUEST", "guest", false},
        {"CONNS LEFT", "conns_left", true}},
       std::regex(R"(fd (\d+), from (\*|\d+\.\d+\.\d+\.\d+):(\*|\d+) via (?:port (\d+)|<unknown>) to )" +
                  ip + R"(:(\d+) \((?:(\d+) conns left|persistent)\))")},
  };
  return known;
}

std::string StateName(const std::string &number) {
  static const std::pair<const char *, const char *> names[] = {
      {"1", "ESTABLISHED"}, {"2", "SYN_SENT"},  {"3", "SYN_RECEIVED"}, {"4", "FIN_WAIT_1"},
      {"5", "FIN_WAIT_2"},  {"6", "TIME_WAIT"}, {"7", "CLOSED"},       {"8", "CLOSE_WAIT"},
      {"9", "LAST_ACK"},    {"10", "LISTEN"},   {"11", "CLOSING"},     {"4099", "CONNECTING"}};
  for (auto [n, name] : names)
    if (number == n) return name;
  return number;
}

// The columns of one known entry from its pattern's groups.
Row KnownRow(int code, const std::smatch &m) {
  auto g = [&](size_t i) { return m[i].matched ? m[i].str() : std::string("-"); };
  switch (code) {
    case 22:
      return {{g(1), g(2), g(3), m[4].matched ? "yes" : "-", g(5)}};
    case 23:
      return {{g(1), g(2) + ":" + g(3), g(4), g(5)}};
    case 25:
      return {{g(1), g(2) + ":" + g(3), g(4) + ":" + g(5), StateName(g(6))}};
    case 26:
      return {{g(1), g(2) + ":" + g(3), g(4), g(5) + ":" + g(6), m[7].matched ? g(7) : "persistent"}};
    default: {
      Row r;
      for (size_t i = 1; i < m.size(); ++i) r.cells.push_back(g(i));
      return r;
    }
  }
}

const Known *FindKnown(int code) {
  for (const Known &k : KnownTables())
    if (k.code == code) return &k;
  return nullptr;
}

// "TCP accept NAT table" -> "tcp_accept_nat_table", for tables natctl does
// not know.
std::string Slug(const std::string &title) {
  std::string s;
  for (char c : title) {
    if (isalnum(static_cast<unsigned char>(c)))
      s += char(tolower(static_cast<unsigned char>(c)));
    else if (!s.empty() && s.back() != '_')
      s += '_';
  }
  while (!s.empty() && s.back() == '_') s.pop_back();
  return s.empty() ? "table" : s;
}

std::optional<long> Counter(const std::string &text, const char *label) {
  std::string prefix = std::string(label) + ": ";
  if (text.rfind(prefix, 0) != 0) return std::nullopt;
  std::string rest = text.substr(prefix.size());
  if (rest.empty() || rest.find_first_not_of("-0123456789") != std::string::npos) return std::nullopt;
  return strtol(rest.c_str(), nullptr, 10);
}

Reply Parse(const std::vector<std::string> &lines) {
  Reply reply;
  Table *open = nullptr;
  static const std::regex countLine(R"((\d+) entries)");
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string &line = lines[i];
    auto garbled = [&](const std::string &why) {
      Fail(kBadReply, "garbled reply, line " + std::to_string(i + 1) + " (" + why + "): " + line);
    };
    bool final = i + 1 == lines.size();
    if (final) {
      if (line.compare(0, 3, "200") != 0) Fail(kBadReply, "natd refused the command: " + line);
      if (open) garbled("table " + open->title + " has no count line");
      break;
    }
    if (line.size() < 4 || !isdigit(line[0]) || !isdigit(line[1]) || !isdigit(line[2]) || line[3] != '-')
      garbled("not a numbered continuation line");
    int code = (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
    int table = code / 10, kind = code % 10;
    std::string text = line.substr(4);
    if (kind == 0) {
      if (open) garbled("table " + open->title + " has no count line");
      reply.tables.push_back(Table());
      open = &reply.tables.back();
      open->code = table;
      open->title = text;
      const Known *k = FindKnown(table);
      open->name = k ? k->name : Slug(text);
      open->columns = k ? &k->columns : nullptr;
      continue;
    }
    if (!open || open->code != table) garbled("outside its table");
    if (kind == 9) {
      std::smatch m;
      if (!std::regex_match(text, m, countLine)) garbled("count line expected");
      open->count = unsigned(strtoul(m[1].str().c_str(), nullptr, 10));
      if (open->count != open->rows.size())
        garbled("count says " + std::to_string(open->count) + ", table has " +
                std::to_string(open->rows.size()));
      open = nullptr;
    } else if (kind == 1) {
      const Known *k = FindKnown(table);
      std::smatch m;
      if (!k) {
        open->rows.push_back({{text}});
      } else if (std::regex_match(text, m, k->entry)) {
        open->rows.push_back(KnownRow(table, m));
      } else {
        garbled("entry of " + open->title + " does not parse");
      }
    } else {
      open->extra.push_back({code, text});
      if (code == 252) {
        std::optional<long> v = Counter(text, "TCP segments sent to qlink");
        if (!v) garbled("segment counter expected");
        reply.segmentsSent = *v;
      } else if (code == 253) {
        std::optional<long> v = Counter(text, "TCP retransmissions");
        if (!v) garbled("retransmission counter expected");
        reply.retransmissions = *v;
      }
    }
  }
  if (reply.tables.empty()) Fail(kBadReply, "reply holds no table");
  return reply;
}

// ---- output -------------------------------------------------------------------

std::string JsonString(const std::string &s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += char(c);
    } else if (c < 0x20) {
      char buf[8];
      snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += char(c);
    }
  }
  return out + "\"";
}

std::string JsonValue(const Column &col, const std::string &cell) {
  if (cell == "-") return std::string(col.key) == "queued" ? "false" : "null";
  if (std::string(col.key) == "queued") return "true";
  if (col.number && cell.find_first_not_of("-0123456789.") == std::string::npos) return cell;
  if (std::string(col.key) == "conns_left") return "null";  // "persistent"
  return JsonString(cell);
}

void PrintJson(const Reply &r) {
  std::string out = "{";
  bool firstTable = true;
  for (const Table &t : r.tables) {
    out += firstTable ? "\n  " : ",\n  ";
    firstTable = false;
    out += JsonString(t.name) + ": [";
    for (size_t i = 0; i < t.rows.size(); ++i) {
      out += i ? ",\n    " : "\n    ";
      if (!t.columns) {
        out += JsonString(t.rows[i].cells[0]);
        continue;
      }
      out += "{";
      for (size_t c = 0; c < t.columns->size(); ++c) {
        const Column &col = (*t.columns)[c];
        out += (c ? ", " : "") + JsonString(col.key) + ": " + JsonValue(col, t.rows[i].cells[c]);
      }
      out += "}";
    }
    out += t.rows.empty() ? "]" : "\n  ]";
  }
  if (r.segmentsSent >= 0)
    out += ",\n  \"tcp_segments_sent\": " + std::to_string(r.segmentsSent) +
           ",\n  \"tcp_retransmissions\": " + std::to_string(r.retransmissions);
  out += "\n}\n";
  fputs(out.c_str(), stdout);
}

void PrintPrometheus(const Reply &r) {
  std::string out =
      "# HELP natd_table_entries Entries in each of natd's tables.\n"
      "# TYPE natd_table_entries gauge\n";
  for (const Table &t : r.tables)
    out += "natd_table_entries{table=\"" + t.name + "\"} " + std::to_string(t.rows.size()) + "\n";
  if (r.segmentsSent >= 0) {
    out += "# HELP natd_tcp_segments_sent_total TCP segments sent to guests.\n"
           "# TYPE natd_tcp_segments_sent_total counter\n"
           "natd_tcp_segments_sent_total " + std::to_string(r.segmentsSent) + "\n";
  }
  if (r.retransmissions >= 0) {
    out += "# HELP natd_tcp_retransmissions_total TCP segments sent to guests again.\n"
           "# TYPE natd_tcp_retransmissions_total counter\n"
           "natd_tcp_retransmissions_total " + std::to_string(r.retransmissions) + "\n";
  }
  fputs(out.c_str(), stdout);
}

void PrintTables(const Reply &r) {
  std::string out;
  for (const Table &t : r.tables) {
    if (!out.empty()) out += "\n";
    out += t.title + " (" + std::to_string(t.rows.size()) + ")";
    for (const auto &[code, text] : t.extra) out += (code == t.code * 10 + 2 ? "  " : ", ") + text;
    out += "\n";
    if (t.rows.empty()) continue;
    static const std::vector<Column> kRaw = {{"ENTRY", "entry", false}};
    const std::vector<Column> &cols = t.columns ? *t.columns : kRaw;
    std::vector<size_t> width(cols.size());
    for (size_t c = 0; c < cols.size(); ++c) {
      width[c] = strlen(cols[c].title);
      for (const Row &row : t.rows) width[c] = std::max(width[c], row.cells[c].size());
    }
    auto line = [&](auto cell) {
      std::string s;
      for (size_t c = 0; c < cols.size(); ++c) {
        std::string v = cell(c);
        s += v;
        if (c + 1 < cols.size()) s += std::string(width[c] - v.size() + 2, ' ');
      }
      out += s + "\n";
    };
    line([&](size_t c) { return std::string(cols[c].title); });
    for (const Row &row : t.rows) line([&](size_t c) { return row.cells[c]; });
  }
  fputs(out.c_str(), stdout);
}

// ---- main ---------------------------------------------------------------------

const char kUsageText[] =
    "Usage: natctl [-p PID | -s SOCKET | -t HOST:PORT | TARGET] [--json | --prometheus]\n"
    "              [--watch SECONDS [--count N]] [--timeout SECONDS]\n"
    "Shows natd's tables from its control port. TARGET is a pid, a socket path\n"
    "or HOST:PORT; without one, the only /var/run/qlnat.<pid> socket is used.\n"
    "Exit status: 0 ok, 1 usage, 2 connection or I/O error, 3 garbled or refused reply.\n";

enum Format { kTable, kJson, kPrometheus };

double ParseSeconds(const char *text, const char *option) {
  char *end = nullptr;
  double v = strtod(text, &end);
  if (end == text || *end != 0 || !(v > 0) || v > 86400)
    Fail(kUsage, std::string(option) + " wants seconds between 0 and 86400, got " + text);
  return v;
}

int Run(int argc, char **argv) {
  static const struct option longOpts[] = {
      {"pid", required_argument, nullptr, 'p'},     {"socket", required_argument, nullptr, 's'},
      {"tcp", required_argument, nullptr, 't'},     {"json", no_argument, nullptr, 'j'},
      {"prometheus", no_argument, nullptr, 'P'},    {"watch", required_argument, nullptr, 'w'},
      {"count", required_argument, nullptr, 'n'},   {"timeout", required_argument, nullptr, 'T'},
      {"help", no_argument, nullptr, 'h'},          {nullptr, 0, nullptr, 0}};
  Target target;
  Format format = kTable;
  double watch = 0, timeout = 5;
  long count = -1;
  int c;
  opterr = 0;
  while ((c = getopt_long(argc, argv, "p:s:t:jw:n:h", longOpts, nullptr)) != -1) {
    switch (c) {
      case 'p':
        if (!AllDigits(optarg)) Fail(kUsage, std::string("-p wants a process id, got ") + optarg);
        target = {Target::kPid, optarg};
        break;
      case 's':
        target = {Target::kPath, optarg};
        break;
      case 't':
        target = {Target::kTcp, optarg};
        break;
      case 'j':
        format = kJson;
        break;
      case 'P':
        format = kPrometheus;
        break;
      case 'w':
        watch = ParseSeconds(optarg, "--watch");
        break;
      case 'n':
        if (!AllDigits(optarg) || atol(optarg) < 1) Fail(kUsage, std::string("--count wants a positive number, got ") + optarg);
        count = atol(optarg);
        break;
      case 'T':
        timeout = ParseSeconds(optarg, "--timeout");
        break;
      case 'h':
        fputs(kUsageText, stdout);
        return kOk;
      default:
        Fail(kUsage, std::string("unknown option or missing argument: ") + argv[optind - 1]);
    }
  }
  if (optind + 1 < argc) Fail(kUsage, "more than one target");
  if (optind < argc) {
    if (target.kind != Target::kNone) Fail(kUsage, "a target and -p/-s/-t together");
    target = GuessTarget(argv[optind]);
  }
  if (count > 0 && watch == 0) Fail(kUsage, "--count needs --watch");
  bool tty = isatty(STDOUT_FILENO);
  for (long round = 1;; ++round) {
    Reply reply = Parse(Exchange(target, int(timeout * 1000)));
    if (watch > 0 && format == kTable) {
      time_t now = time(nullptr);
      char stamp[64];
      strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", localtime(&now));
      printf("%sEvery %gs: natd tables at %s\n\n", tty ? "\033[H\033[2J" : "", watch, stamp);
    }
    if (format == kJson)
      PrintJson(reply);
    else if (format == kPrometheus)
      PrintPrometheus(reply);
    else
      PrintTables(reply);
    fflush(stdout);
    if (watch == 0 || round == count) return kOk;
    struct timespec ts = {time_t(watch), long(std::fmod(watch, 1.0) * 1e9)};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
  }
}

}  // namespace

int main(int argc, char **argv) {
  signal(SIGPIPE, SIG_IGN);
  try {
    return Run(argc, argv);
  } catch (const Failure &f) {
    fprintf(stderr, "natctl: %s\n", f.text.c_str());
    if (f.status == kUsage) fputs(kUsageText, stderr);
    return f.status;
  }
}
