// mtr-confsrv: the concentrator's configuration server and sensor service on
// loopback, for tests and bench work.
#include <getopt.h>
#include <httplib.h>
#include <signal.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "rpc_service.h"

namespace {

const char kUsage[] =
    "usage: mtr-confsrv [--config FILE] [--port N] [--sensor-port N] [--record FILE]\n"
    "                   [--fault KIND]... [--sensor-fault KIND]... [--chunk BYTES]\n"
    "  --config FILE       JSON object: meter identifier -> get_config result\n"
    "  --port N            configuration server port (default 8082, 0 = any free)\n"
    "  --sensor-port N     sensor service port (default 4665, 0 = any free, -1 = none)\n"
    "  --record FILE       append every request received as one JSON line\n"
    "  --fault KIND        answer the next configuration request badly: empty, html,\n"
    "                      garbage, deep or nul (repeatable; used in the order given)\n"
    "  --sensor-fault KIND the same for the sensor service\n"
    "  --chunk BYTES       send answers with chunked encoding, BYTES per chunk\n"
    "Prints \"config-port=N sensor-port=M\" once listening; SIGTERM or SIGINT stop it.\n";

bool parseInt(const char* text, long lo, long hi, long& out) {
  errno = 0;
  char* end = nullptr;
  long v = strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v < lo || v > hi) return false;
  out = v;
  return true;
}

struct Listener {
  confsrv::Role role;
  httplib::Server server;
  int port = -1;
  std::thread thread;
};

void serve(Listener& l, confsrv::RpcService& service, long chunk) {
  l.server.Post("/", [&l, &service, chunk](const httplib::Request& req, httplib::Response& res) {
    confsrv::Reply r =
        service.handle(l.role, l.port, req.body, req.get_header_value("Content-Type"),
                       req.get_header_value("Accept"));
    res.status = r.status;
    if (r.status == 204) return;
    if (chunk > 0) {
      auto body = std::make_shared<std::string>(std::move(r.body));
      res.set_chunked_content_provider(
          r.content_type, [body, chunk](size_t, httplib::DataSink& sink) {
            for (size_t at = 0; at < body->size(); at += static_cast<size_t>(chunk)) {
              size_t n = std::min(static_cast<size_t>(chunk), body->size() - at);
              if (!sink.write(body->data() + at, n)) return false;
            }
            sink.done();
            return true;
          });
    } else {
      res.set_content(r.body, r.content_type.c_str());
    }
  });
}

bool bindListener(Listener& l, long wanted) {
  // The library's default adds SO_REUSEPORT, which would let a second server
  // share a taken port instead of failing.
  l.server.set_socket_options([](int sock) {
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  if (wanted == 0) {
    l.port = l.server.bind_to_any_port("127.0.0.1");
    return l.port > 0;
  }
  if (!l.server.bind_to_port("127.0.0.1", static_cast<int>(wanted))) return false;
  l.port = static_cast<int>(wanted);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::string config_path, record_path;
  long port = 8082, sensor_port = 4665, chunk = 0;
  confsrv::RpcService service;

  static const option kOptions[] = {
      {"config", required_argument, nullptr, 'c'},
      {"port", required_argument, nullptr, 'p'},
      {"sensor-port", required_argument, nullptr, 's'},
      {"record", required_argument, nullptr, 'r'},
      {"fault", required_argument, nullptr, 'f'},
      {"sensor-fault", required_argument, nullptr, 'F'},
      {"chunk", required_argument, nullptr, 'k'},
      {"help", no_argument, nullptr, 'h'},
      {nullptr, 0, nullptr, 0},
  };
  int opt;
  while ((opt = getopt_long(argc, argv, "", kOptions, nullptr)) != -1) {
    confsrv::Fault fault;
    switch (opt) {
      case 'c':
        config_path = optarg;
        break;
      case 'p':
        if (!parseInt(optarg, 0, 65535, port)) {
          fprintf(stderr, "mtr-confsrv: bad --port '%s'\n", optarg);
          return 2;
        }
        break;
      case 's':
        if (!parseInt(optarg, -1, 65535, sensor_port)) {
          fprintf(stderr, "mtr-confsrv: bad --sensor-port '%s'\n", optarg);
          return 2;
        }
        break;
      case 'r':
        record_path = optarg;
        break;
      case 'f':
      case 'F':
        if (!confsrv::parseFault(optarg, fault)) {
          fprintf(stderr, "mtr-confsrv: unknown fault '%s' (empty, html, garbage, deep, nul)\n",
                  optarg);
          return 2;
        }
        service.addFault(opt == 'f' ? confsrv::Role::Config : confsrv::Role::Sensor, fault);
        break;
      case 'k':
        if (!parseInt(optarg, 1, INT_MAX, chunk)) {
          fprintf(stderr, "mtr-confsrv: bad --chunk '%s'\n", optarg);
          return 2;
        }
        break;
      case 'h':
        fputs(kUsage, stdout);
        return 0;
      default:
        fputs(kUsage, stderr);
        return 2;
    }
  }
  if (optind < argc) {
    fprintf(stderr, "mtr-confsrv: unexpected argument '%s'\n%s", argv[optind], kUsage);
    return 2;
  }

  std::string error;
  if (!config_path.empty() && !service.loadConfig(config_path, error)) {
    fprintf(stderr, "mtr-confsrv: %s\n", error.c_str());
    return 2;
  }
  if (!record_path.empty() && !service.openRecord(record_path, error)) {
    fprintf(stderr, "mtr-confsrv: %s\n", error.c_str());
    return 2;
  }

  // Signals are taken by sigwait below, never by the server threads.
  sigset_t sigs;
  sigemptyset(&sigs);
  sigaddset(&sigs, SIGTERM);
  sigaddset(&sigs, SIGINT);
  pthread_sigmask(SIG_BLOCK, &sigs, nullptr);
  signal(SIGPIPE, SIG_IGN);

  Listener config, sensor;
  config.role = confsrv::Role::Config;
  sensor.role = confsrv::Role::Sensor;
  if (!bindListener(config, port)) {
    fprintf(stderr, "mtr-confsrv: cannot listen on 127.0.0.1:%ld\n", port);
    return 1;
  }
  if (sensor_port >= 0 && !bindListener(sensor, sensor_port)) {
    fprintf(stderr, "mtr-confsrv: cannot listen on 127.0.0.1:%ld\n", sensor_port);
    return 1;
  }
  serve(config, service, chunk);
  serve(sensor, service, chunk);
  config.thread = std::thread([&config] { config.server.listen_after_bind(); });
  if (sensor.port > 0)
    sensor.thread = std::thread([&sensor] { sensor.server.listen_after_bind(); });

  // stop() is a no-op on a server whose loop has not started yet, so a signal
  // right after the ports line would be lost without this wait.
  for (int i = 0; i < 5000; ++i) {
    if (config.server.is_running() && (sensor.port <= 0 || sensor.server.is_running())) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  printf("config-port=%d sensor-port=%d\n", config.port, sensor.port);
  fflush(stdout);

  int sig = 0;
  while (sigwait(&sigs, &sig) != 0) {
  }

  config.server.stop();
  if (config.thread.joinable()) config.thread.join();
  if (sensor.port > 0) sensor.server.stop();
  if (sensor.thread.joinable()) sensor.thread.join();
  return 0;
}
