// Path expansion, keystrokes and child processes. Wildcards are matched with glob(3) and
// environment references are substituted here, so a path is never run through a shell.
#include "term/os.h"

#include <fcntl.h>
#include <glob.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "base/message.h"
#include "term/rline.h"
#include "term/rline_term.h"
#include "values/temps.h"

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }

std::string home_of(const std::string& user) {
  if (user.empty()) {
    const char* h = getenv("HOME");
    return h ? h : "";
  }
  passwd* pw = getpwnam(user.c_str());
  return pw && pw->pw_dir ? pw->pw_dir : "";
}

// A leading "~" or "~name" (after blanks) replaced by the home directory; other paths
// come back unchanged.
std::string expand_tilde(const std::string& path) {
  size_t i = 0;
  while (i < path.size() && is_blank(path[i])) i++;
  if (i >= path.size() || path[i] != '~') return path;
  size_t end = path.find('/', i);
  if (end == std::string::npos) end = path.size();
  return home_of(path.substr(i + 1, end - i - 1)) + path.substr(end);
}

bool is_name_char(char c) { return isalnum(static_cast<unsigned char>(c)) || c == '_'; }

// $NAME and ${NAME} replaced by the variable's value (empty when unset); a "$" not
// followed by a name stays as it is.
std::string expand_environment(const std::string& path) {
  std::string out;
  for (size_t i = 0; i < path.size();) {
    if (path[i] != '$') {
      out += path[i++];
      continue;
    }
    size_t start, end, next;
    if (i + 1 < path.size() && path[i + 1] == '{') {
      end = path.find('}', i + 2);
      if (end == std::string::npos) {
        out += path[i++];
        continue;
      }
      start = i + 2;
      next = end + 1;
    } else {
      start = end = i + 1;
      while (end < path.size() && is_name_char(path[end])) end++;
      next = end;
    }
    if (end == start) {
      out += path[i++];
      continue;
    }
    const char* v = getenv(path.substr(start, end - start).c_str());
    if (v) out += v;
    i = next;
  }
  return out;
}

bool has_wildcard(const std::string& s) { return s.find_first_of("*?[") != std::string::npos; }

std::vector<std::string> glob_pattern(const std::string& pattern, bool keep_unmatched) {
  glob_t g{};
  std::vector<std::string> out;
  int r = glob(pattern.c_str(), keep_unmatched ? GLOB_NOCHECK : 0, nullptr, &g);
  if (r == 0)
    for (size_t i = 0; i < g.gl_pathc; i++) out.emplace_back(g.gl_pathv[i]);
  globfree(&g);
  return out;
}

// Puts the terminal back to normal for a child and restores the editor's mode after.
struct TerminalHandOver {
  int saved = 0;
  explicit TerminalHandOver(bool reset) {
    if (reset && isatty(0)) {
      saved = term_current_mode(0);
      if (saved) term_mode(0, 0);
    }
  }
  ~TerminalHandOver() {
    if (saved) term_mode(0, saved);
  }
};

struct Fd {
  int fd = -1;
  ~Fd() { close_now(); }
  void close_now() {
    if (fd >= 0) close(fd);
    fd = -1;
  }
};

[[noreturn]] void exec_in_child(const ChildRequest& req) {
  // Dispositions we ignore (SIGPIPE) or block survive exec; give the child defaults.
  for (int sig : {SIGINT, SIGQUIT, SIGPIPE, SIGTSTP, SIGTTOU, SIGTTIN, SIGALRM, SIGCHLD}) signal(sig, SIG_DFL);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  if (req.flags & SPAWN_NOSHELL) {
    std::vector<char*> args;
    for (const std::string& a : req.argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    if (!args.empty() && args[0]) execvp(args[0], args.data());
  } else {
    const char* shell = "/bin/sh";
    const char* user_shell = getenv("SHELL");
    if (!(req.flags & SPAWN_SH) && user_shell && *user_shell) shell = user_shell;
    if (req.command.empty())
      execl(shell, shell, static_cast<char*>(nullptr));
    else
      execl(shell, shell, "-c", req.command.c_str(), static_cast<char*>(nullptr));
  }
  const char* what = (req.flags & SPAWN_NOSHELL) && !req.argv.empty() ? req.argv[0].c_str() : "shell";
  dprintf(2, "%s: %s\n", what, strerror(errno));
  _exit(127);
}

}  // namespace

std::string expanded_path(const std::string& path) {
  std::string out;
  if (path.find_first_of("*$") != std::string::npos) {
    out = expand_tilde(expand_environment(path));
    size_t i = 0;
    while (i < out.size() && is_blank(out[i])) i++;
    out.erase(0, i);
    if (has_wildcard(out)) {
      std::vector<std::string> names = glob_pattern(out, true);
      out.clear();
      for (size_t k = 0; k < names.size(); k++) out += (k ? " " : "") + names[k];
    }
  } else {
    out = expand_tilde(path);
  }
  return out.size() <= PATH_BUF - 1 ? out : path;
}

void expand_path(char* buffer) {
  std::string out = expanded_path(std::string(buffer, strnlen(buffer, PATH_BUF - 1)));
  memcpy(buffer, out.c_str(), out.size() + 1);
}

std::vector<std::string> find_files(const std::string& spec) {
  std::vector<std::string> out;
  size_t i = 0;
  bool any = false;
  while (i < spec.size()) {
    while (i < spec.size() && isspace(static_cast<unsigned char>(spec[i]))) i++;
    size_t j = i;
    while (j < spec.size() && !isspace(static_cast<unsigned char>(spec[j]))) j++;
    if (j > i) {
      any = true;
      std::string word = expand_tilde(spec.substr(i, j - i));
      if (has_wildcard(word)) {
        for (std::string& s : glob_pattern(word, false)) out.push_back(std::move(s));
      } else {
        struct stat st;
        if (lstat(word.c_str(), &st) == 0) out.push_back(word);
      }
    }
    i = j;
  }
  if (!any) out = glob_pattern("*", false);
  return out;
}

int get_kbrd(int wait) {
  if (rline_hooks.widget_mode && rline_hooks.widget_mode() && rline_hooks.widget_key)
    return rline_hooks.widget_key(wait);
  if (!isatty(0)) message(M_NOT_TTY, 0, MSG_LONGJMP);
  int previous = term_current_mode(0);
  if (previous != 1) term_mode(0, 1);
  int key = 0;
  if (wait || term_chars_waiting(0) > 0) {
    unsigned char c;
    ssize_t r;
    do r = read(0, &c, 1);
    while (r < 0 && errno == EINTR);
    key = r == 1 ? c : -1;
  }
  if (previous != 1) term_mode(0, previous);
  return key;
}

ChildResult vek_exec_child(const ChildRequest& req) {
  ChildResult result;
  fflush(stdout);
  fflush(stderr);
  Fd out_read, out_write;
  if (req.capture) {
    int p[2];
    if (pipe(p) < 0) message(M_SYSTEM_ERROR, errno, MSG_LONGJMP, "Unable to create pipe");
    out_read.fd = p[0];
    out_write.fd = p[1];
    fcntl(p[0], F_SETFD, FD_CLOEXEC);
  }
  TerminalHandOver terminal(!(req.flags & SPAWN_NOTTYRESET));
  pid_t pid = fork();
  if (pid < 0) message(M_FORK, errno, MSG_LONGJMP);
  if (pid == 0) {
    if (req.capture) {
      dup2(out_write.fd, 1);
      close(out_write.fd);
    }
    exec_in_child(req);
  }
  result.pid = pid;
  if (req.capture) {
    out_write.close_now();
    std::string text;
    char buf[4096];
    for (;;) {
      ssize_t r = read(out_read.fd, buf, sizeof buf);
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) break;
      text.append(buf, static_cast<size_t>(r));
    }
    size_t start = 0;
    while (start < text.size()) {
      size_t nl = text.find('\n', start);
      if (nl == std::string::npos) nl = text.size();
      result.lines.push_back(text.substr(start, nl - start));
      start = nl + 1;
    }
  }
  int status = 0;
  pid_t w;
  do w = waitpid(pid, &status, 0);
  while (w < 0 && errno == EINTR);
  if (w < 0) message(M_CHILD_PROCESS, errno, MSG_CONTINUE);
  result.status = status;
  return result;
}

pid_t vek_spawn_connected(const ChildRequest& req, FILE** stream) {
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) < 0)
    message(M_SYSTEM_ERROR, errno, MSG_LONGJMP, "Unable to create pipe");
  Fd ours, theirs;
  ours.fd = sv[0];
  theirs.fd = sv[1];
  fflush(stdout);
  fflush(stderr);
  pid_t pid = fork();
  if (pid < 0) message(M_FORK, errno, MSG_LONGJMP);
  if (pid == 0) {
    dup2(theirs.fd, 0);
    dup2(theirs.fd, 1);
    exec_in_child(req);
  }
  theirs.close_now();
  *stream = fdopen(ours.fd, "r+");
  if (!*stream) {
    int e = errno;
    kill(pid, SIGKILL);
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    message(M_SYSTEM_ERROR, e, MSG_LONGJMP, "Unable to open pipe stream");
  }
  ours.fd = -1;  // the stream owns it now
  setvbuf(*stream, nullptr, _IONBF, 0);
  return pid;
}

void vek_shell_escape(const char* command, int length) {
  ChildRequest req;
  req.command.assign(command, static_cast<size_t>(std::max(0, length)));
  vek_exec_child(req);
}

std::string scalar_string(Variable* v) {
  if (v->flags & FLAG_HAS_DESC) var_error(M_NOT_SCALAR, v, MSG_LONGJMP);
  if (v->type != TYP_STRING) var_error(M_NEED_STRING, v, MSG_LONGJMP);
  const StringDesc& s = v->value.str;
  return std::string(s.chars ? s.chars : "", s.length);
}

namespace {
StringDesc new_string(const std::string& text) {
  size_t n = std::min(text.size(), size_t{65535});
  if (n == 0) return StringDesc{0, 0, nullptr};
  auto* p = static_cast<char*>(counting_malloc(n + 1));
  if (!p) message(M_NO_MEMORY, errno, MSG_LONGJMP, "making a string");
  memcpy(p, text.data(), n);
  p[n] = 0;
  return StringDesc{static_cast<uint16_t>(n), 1, p};
}
}  // namespace

Variable* make_string_temp(const std::string& text) {
  Variable* t = gettmp();
  t->value.str = new_string(text);
  t->type = TYP_STRING;
  if (t->value.str.owned) t->flags |= FLAG_DYNAMIC;
  return t;
}

Variable* make_string_array_temp(const std::vector<std::string>& texts) {
  int32_t n = static_cast<int32_t>(texts.size());
  Variable* t = make_temp_array_of(TYP_STRING, 1, &n);
  auto* s = reinterpret_cast<StringDesc*>(t->value.s.arr->data);
  for (size_t i = 0; i < texts.size(); i++) s[i] = new_string(texts[i]);
  return t;
}

void store_string(Variable* dst, const std::string& text) {
  StringDesc s{static_cast<uint16_t>(std::min(text.size(), size_t{65535})), 0, const_cast<char*>(text.c_str())};
  store_scalar(dst, TYP_STRING, &s);
}
