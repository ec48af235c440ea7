// Child processes for the Linux build: posix_spawn, pipes drained with
// poll, /bin/sh -c as the shell.
#include "platform/spawn.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <vector>

extern char** environ;

namespace vel::platform {

namespace {

// Children started without waiting are reaped at the next spawn, so that
// they do not stay as zombies; only our own pids are asked about.
std::mutex g_unreaped_lock;
std::vector<pid_t> g_unreaped;

void reap_finished() {
  std::lock_guard<std::mutex> hold(g_unreaped_lock);
  for (size_t i = 0; i < g_unreaped.size();) {
    int st;
    pid_t r = waitpid(g_unreaped[i], &st, WNOHANG);
    if (r == 0) {
      i++;
      continue;
    }
    g_unreaped[i] = g_unreaped.back();
    g_unreaped.pop_back();
  }
}

std::vector<std::string> split_command(const std::string& cmd) {
  std::vector<std::string> args;
  std::string cur;
  bool in_arg = false, quoted = false;
  for (char c : cmd) {
    if (c == '"') {
      quoted = !quoted;
      in_arg = true;
    } else if (!quoted && (c == ' ' || c == '\t')) {
      if (in_arg) args.push_back(cur);
      cur.clear();
      in_arg = false;
    } else {
      cur += c;
      in_arg = true;
    }
  }
  if (in_arg) args.push_back(cur);
  return args;
}

struct Fd {
  int fd = -1;
  Fd() = default;
  explicit Fd(int f) : fd(f) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { reset(); }
  void reset(int f = -1) {
    if (fd >= 0) close(fd);
    fd = f;
  }
};

bool make_pipe(Fd& r, Fd& w) {
  int p[2];
  if (pipe2(p, O_CLOEXEC) != 0) return false;
  r.reset(p[0]);
  w.reset(p[1]);
  return true;
}

int status_of(int st) {
  if (WIFEXITED(st)) return WEXITSTATUS(st);
  if (WIFSIGNALED(st)) return 128 + WTERMSIG(st);
  return -1;
}

// Feeds the input and drains both outputs until each pipe is done.
void pump(Fd& in, const std::string& bytes, Fd& out, std::string* out_bytes, Fd& err, std::string* err_bytes) {
  size_t written = 0;
  if (in.fd >= 0) {
    fcntl(in.fd, F_SETFL, fcntl(in.fd, F_GETFL) | O_NONBLOCK);
    if (bytes.empty()) in.reset();
  }
  char buf[65536];
  while (in.fd >= 0 || out.fd >= 0 || err.fd >= 0) {
    pollfd fds[3];
    int n = 0, iin = -1, iout = -1, ierr = -1;
    if (in.fd >= 0) fds[iin = n++] = pollfd{in.fd, POLLOUT, 0};
    if (out.fd >= 0) fds[iout = n++] = pollfd{out.fd, POLLIN, 0};
    if (err.fd >= 0) fds[ierr = n++] = pollfd{err.fd, POLLIN, 0};
    if (poll(fds, nfds_t(n), -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (iin >= 0 && fds[iin].revents) {
      ssize_t w = write(in.fd, bytes.data() + written, bytes.size() - written);
      if (w > 0) written += size_t(w);
      // A child that stops reading (EPIPE) gets no more input.
      if ((w < 0 && errno != EAGAIN && errno != EINTR) || written == bytes.size()) in.reset();
    }
    auto drain = [&](int i, Fd& fd, std::string* into) {
      if (i < 0 || !fds[i].revents) return;
      ssize_t r = read(fd.fd, buf, sizeof buf);
      if (r > 0) into->append(buf, size_t(r));
      else if (r == 0 || (errno != EAGAIN && errno != EINTR)) fd.reset();
    };
    drain(iout, out, out_bytes);
    drain(ierr, err, err_bytes);
  }
}

SpawnResult run(const SpawnRequest& rq, bool shell) {
  SpawnResult res;
  res.via_shell = shell;
  std::vector<std::string> args;
  if (shell) args = {"/bin/sh", "-c", rq.command};
  else args = split_command(rq.command);
  if (args.empty()) return res;

  Fd in_r, in_w, out_r, out_w, err_r, err_w, null_fd;
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  struct Cleanup {
    posix_spawn_file_actions_t* fa;
    ~Cleanup() { posix_spawn_file_actions_destroy(fa); }
  } cleanup{&fa};

  switch (rq.input.kind) {
    case Redirect::Kind::File:
      in_r.reset(open(rq.input.path.c_str(), O_RDONLY | O_CLOEXEC));
      if (in_r.fd < 0) return res;
      posix_spawn_file_actions_adddup2(&fa, in_r.fd, 0);
      break;
    case Redirect::Kind::Data:
      if (!make_pipe(in_r, in_w)) return res;
      posix_spawn_file_actions_adddup2(&fa, in_r.fd, 0);
      break;
    case Redirect::Kind::None:
      break;
  }
  auto setup_out = [&](const Redirect& r, Fd& rd, Fd& wr, int target) {
    if (r.kind == Redirect::Kind::Data) {
      if (!make_pipe(rd, wr)) return false;
    } else if (r.kind == Redirect::Kind::File) {
      // An output file that cannot be opened leaves its stream to the null
      // device; the call goes on.
      wr.reset(open(r.path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666));
    }
    if (wr.fd < 0) {
      if (null_fd.fd < 0) null_fd.reset(open("/dev/null", O_WRONLY | O_CLOEXEC));
      if (null_fd.fd < 0) return false;
      posix_spawn_file_actions_adddup2(&fa, null_fd.fd, target);
    } else {
      posix_spawn_file_actions_adddup2(&fa, wr.fd, target);
    }
    return true;
  };
  if (!setup_out(rq.output, out_r, out_w, 1)) return res;
  if (!setup_out(rq.error, err_r, err_w, 2)) return res;

  // The child starts with the default SIGPIPE action even though this
  // process ignores it.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t def;
  sigemptyset(&def);
  sigaddset(&def, SIGPIPE);
  posix_spawnattr_setsigdefault(&attr, &def);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);

  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  int rc = posix_spawnp(&pid, argv[0], &fa, &attr, argv.data(), environ);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) {
    res.status = rc == ENOENT && !shell ? -2 : -1;  // -2: retry through the shell
    return res;
  }
  // Only the child keeps its ends.
  in_r.reset();
  out_w.reset();
  err_w.reset();
  null_fd.reset();
  pump(in_w, rq.input.bytes, out_r, &res.output, err_r, &res.error);

  bool wait = rq.wait || rq.input.kind != Redirect::Kind::None || rq.output.kind != Redirect::Kind::None ||
              rq.error.kind != Redirect::Kind::None;
  if (!wait) {
    std::lock_guard<std::mutex> hold(g_unreaped_lock);
    g_unreaped.push_back(pid);
    res.status = pid;
    return res;
  }
  int st = 0;
  while (waitpid(pid, &st, 0) < 0) {
    if (errno != EINTR) return res;
  }
  res.status = status_of(st);
  return res;
}

}  // namespace

SpawnResult spawn(const SpawnRequest& rq) {
  // Writing input to a child that has gone must fail with EPIPE, not end
  // this process.
  static const bool kIgnorePipe = [] {
    signal(SIGPIPE, SIG_IGN);
    return true;
  }();
  (void)kIgnorePipe;
  reap_finished();
  SpawnResult res = run(rq, rq.shell);
  if (res.status == -2) res = run(rq, true);
  return res;
}

std::string shell_text_to_utf8(const std::string& bytes) { return bytes; }

}  // namespace vel::platform
