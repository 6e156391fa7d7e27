// attenuatorctl: every operation of the attenuator from a shell.

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <CLI/CLI.hpp>

#include "Commands.h"
#include "Interrupt.h"
#include "PortsCommand.h"

namespace {

struct Arguments {
  std::string port;
  bool simulate = false;
  int timeout_ms = 5000;
  bool json = false;
  bool trace = false;
  bool probe = false;
  bool position_in_steps = false;
  std::optional<float> move_degrees;
  std::optional<int> move_steps;
  float transmittance = 0;
  std::optional<double> density;
  int points = 11;
  torvek::ctl::ModelParameters model;
};

void AddModelOptions(CLI::App* command, torvek::ctl::ModelParameters& model) {
  command->add_option("--min-angle", model.min_angle, "Mount angle of transmittance 0, degrees")
      ->capture_default_str();
  command->add_option("--span", model.span, "Rotation from transmittance 0 to 1, degrees")
      ->capture_default_str();
}

// CLI11 takes "-.5" and "-inf" for short options (only "-" and a digit counts as a number there),
// so `move -.5` would be a usage error. Such an argument is rewritten into a spelling CLI11 reads
// as a number, with the same value; options never look like a whole number.
std::vector<std::string> NumbersAsNumbers(int argc, char** argv) {
  std::vector<std::string> args(argv, argv + argc);
  for (std::size_t i = 1; i < args.size(); ++i) {
    std::string& arg = args[i];
    if (arg == "--")
      break;
    if (arg.size() < 2 || arg[0] != '-' || (arg[1] >= '0' && arg[1] <= '9'))
      continue;
    char* end = nullptr;
    const double value = std::strtod(arg.c_str(), &end);
    if (end != arg.c_str() + arg.size())
      continue;
    if (std::isnan(value))
      arg = "nan";
    else if (std::isinf(value))
      arg = "-1e999";  // read back as -inf by CLI11's strtold
    else
      arg = torvek::ctl::Format("%.17g", value);
  }
  return args;
}

// Ends every run: what went to stdout must have arrived, or the run did not do its job.
int Finish(const std::string& command, int exit_code) {
  int error = 0;
  if (torvek::ctl::FlushOutput(&error))
    return exit_code;
  std::fprintf(stderr, "attenuatorctl%s%s: cannot write the output: %s\n",
               command.empty() ? "" : " ", command.c_str(), std::strerror(error));
  return torvek::ctl::kExitInternal;
}

// The library traces the line when this is set as a handler connects; for this run only.
void TraceTheLine() {
#ifdef _WIN32
  _putenv_s("TORVEK_ATTENUATOR_TRACE", "stderr");
#else
  setenv("TORVEK_ATTENUATOR_TRACE", "stderr", 1);
#endif
}

// The wait for the Stop that follows an interrupted motion: the user wants out soon.
constexpr int kStopTimeoutMs = 1000;

bool IsMotion(const std::string& command) {
  for (const char* motion :
       {"move", "home", "transmittance set", "scan", "optimize", "clean", "tour"})
    if (command == motion)
      return true;
  return false;
}

// "25%" is a percentage: the fraction 0.25 is what the option reads. Anything else is left as
// it is, for CLI11 to read or refuse as a number.
std::string PercentAsFraction(std::string& text) {
  if (text.empty() || text.back() != '%')
    return "";
  const std::string number = text.substr(0, text.size() - 1);
  char* end = nullptr;
  const double percent = std::strtod(number.c_str(), &end);
  if (number.empty() || end != number.c_str() + number.size())
    return "'" + text + "' is not a number, nor a number followed by %";
  text = torvek::ctl::Format("%.17g", percent / 100.0);
  return "";
}

// The word the user meant as the command, when it is none of them: the first argument that is
// neither an option nor an option's value. Empty when there is no such word.
std::string UnknownCommand(CLI::App& app, const std::vector<std::string>& args) {
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--")
      return i + 1 < args.size() ? args[i + 1] : "";
    if (arg.size() > 1 && arg[0] == '-') {
      const std::string option = arg.substr(0, arg.find('='));
      const CLI::Option* known = app.get_option_no_throw(option);
      if (known != nullptr && known->get_items_expected_min() > 0 && option.size() == arg.size() &&
          !(option.size() > 2 && option[1] != '-'))  // "-t500" carries its value
        ++i;
      continue;
    }
    for (const CLI::App* sub : app.get_subcommands({}))
      if (sub->check_name(arg))
        return "";
    return arg;
  }
  return "";
}

std::string CommandList(CLI::App& app) {
  std::string list;
  for (const CLI::App* sub : app.get_subcommands({}))
    list += (list.empty() ? "" : ", ") + sub->get_name();
  return list;
}

}  // namespace

int main(int argc, char** argv) {
#ifndef _WIN32
  // With stdout closed, the first port opened would get its descriptor and the output would go
  // to the device. Nothing is done that no one can see the result of.
  if (fcntl(STDOUT_FILENO, F_GETFD) < 0 && errno == EBADF) {
    std::fprintf(stderr, "attenuatorctl: cannot write the output: %s\n", std::strerror(EBADF));
    return torvek::ctl::kExitInternal;
  }
#endif
  CLI::App app{"Drives a motorised attenuator over its serial port, or a simulated one.",
               "attenuatorctl"};
  app.footer(
      "Exit codes: 0 Ok, 1 device status code, 2 usage, 3 cannot connect, 4 ReplyTimeout,\n"
      "5 UnexpectedReply, 6 PortUnavailable, 7 InvalidArgument, 8 internal error,\n"
      "130 interrupted (Ctrl-C: the wait ends at once; a motion is then stopped).\n"
      "\n"
      "Examples:\n"
      "  $ attenuatorctl --simulate tour\n"
      "  $ attenuatorctl ports --probe\n"
      "  $ attenuatorctl --port /dev/ttyUSB0 move 45\n"
      "  $ attenuatorctl --port auto --json position\n"
      "  $ attenuatorctl --port /dev/ttyUSB0 transmittance set 25% --min-angle 10 --span 90\n"
      "  $ attenuatorctl --port /dev/ttyUSB0 od 2 --min-angle 10 --span 90\n"
      "\n"
      "Environment:\n"
      "  TORVEK_ATTENUATOR_TRACE    stderr, or a file: every command and reply on the line\n"
      "                             (--trace sets stderr for the run)\n"
      "  TORVEK_ATTENUATOR_SYSROOT  a directory that ports and --port auto read /dev, /sys and\n"
      "                             the lock files under instead of / (for testing)");
  app.set_version_flag("-V,--version", std::function<std::string()>([] {
                         return std::string("attenuatorctl " TORVEK_CTL_VERSION " (library ") +
                                TORVEK::LibraryVersion() + ")";
                       }));
  Arguments a;
  auto* port = app.add_option("-p,--port", a.port,
                              "Serial port: /dev/ttyUSB0, COM3, ..., a USB adapter's identity "
                              "usb:VID:PID[:SERIAL] (as ports shows it), or auto: the one port "
                              "where an attenuator answers (each port is asked, as by "
                              "ports --probe)");
  auto* simulate = app.add_flag("-s,--simulate", a.simulate,
                                "Start a simulated attenuator in this process and use it");
  port->excludes(simulate);
  app.add_option("-t,--timeout", a.timeout_ms,
                 "Wait for each reply at most MS milliseconds, 1 to 2147483647")
      ->check(CLI::Range(1, std::numeric_limits<int>::max()).description(""))
      ->capture_default_str()
      ->type_name("MS");
  app.add_flag("--json", a.json, "One JSON object on stdout, for scripts");
  app.add_flag("--trace", a.trace,
               "Show every command and reply on the line, on stderr (sets "
               "TORVEK_ATTENUATOR_TRACE=stderr for this run)");
  app.require_subcommand(1);

  using Runner = std::function<torvek::ctl::Report(torvek::ctl::Context&)>;
  std::vector<std::pair<CLI::App*, Runner>> runners;
  const auto command = [&](CLI::App* parent, const char* name, const char* help, Runner runner) {
    CLI::App* sub = parent->add_subcommand(name, help);
    runners.emplace_back(sub, std::move(runner));
    return sub;
  };

  command(&app, "status", "Read the device's status code (0gs)", torvek::ctl::ReadStatus);
  command(&app, "info", "Read the identification record and the home offset (0in, 0go)",
          torvek::ctl::ReadInfo);
  command(
      &app, "position", "Read the position in degrees, or in steps (0gp)",
      [&a](torvek::ctl::Context& c) { return torvek::ctl::ReadPosition(c, a.position_in_steps); })
      ->add_flag("--steps", a.position_in_steps, "In motor steps");
  CLI::App* move = command(&app, "move", "Move to an absolute angle, or to a step position (0ma)",
                           [&a](torvek::ctl::Context& c) {
                             return a.move_steps ? torvek::ctl::MoveSteps(c, *a.move_steps)
                                                 : torvek::ctl::MoveDegrees(c, *a.move_degrees);
                           });
  auto* degrees = move->add_option("degrees", a.move_degrees, "Target angle in degrees");
  move->add_option("--steps", a.move_steps, "Target position in motor steps")->excludes(degrees);
  move->require_option(1);
  command(&app, "home", "Home the mount (0ho0)", torvek::ctl::Home);
  command(&app, "stop", "Stop a motion (0st)", torvek::ctl::StopMotion);
  command(&app, "optimize", "Run the motor optimisation (0om)", torvek::ctl::Optimize);
  command(&app, "clean", "Run the mechanics cleaning (0cm)", torvek::ctl::Clean);
  CLI::App* transmittance =
      command(&app, "transmittance", "Read the transmittance (0gp)",
              [&a](torvek::ctl::Context& c) { return torvek::ctl::ReadTransmittance(c, a.model); });
  AddModelOptions(transmittance, a.model);
  CLI::App* set =
      command(transmittance, "set", "Move to a transmittance, 0 to 1, or in percent: 25% (0ma)",
              [&a](torvek::ctl::Context& c) {
                return torvek::ctl::SetTransmittance(c, a.transmittance, a.model);
              });
  set->add_option("T", a.transmittance, "Wanted transmittance: a fraction, or percent with %")
      ->required()
      ->transform(CLI::Validator(PercentAsFraction, "", "PERCENT"));
  // Its own, not only through its parent, so that `transmittance set --help` lists them.
  AddModelOptions(set, a.model);
  set->fallthrough();
  CLI::App* od = command(&app, "od",
                         "Read the optical density, -log10 T (0gp); with a value, move there "
                         "(0ma)",
                         [&a](torvek::ctl::Context& c) {
                           return a.density ? torvek::ctl::SetOpticalDensity(c, *a.density, a.model)
                                            : torvek::ctl::ReadOpticalDensity(c, a.model);
                         });
  od->add_option("OD", a.density,
                 "Wanted optical density: 0 up to the model's limit at the device's scale, or "
                 "inf (transmittance 0)");
  AddModelOptions(od, a.model);
  CLI::App* scan =
      command(&app, "scan", "Set the transmittance from 0 to 1 and read each back",
              [&a](torvek::ctl::Context& c) { return torvek::ctl::Scan(c, a.points, a.model); });
  scan->add_option("--points", a.points, "Number of points")
      ->check(CLI::Range(2, 1001))
      ->capture_default_str();
  AddModelOptions(scan, a.model);
  CLI::App* tour = command(&app, "tour",
                           "A guided run through every operation, showing the line "
                           "(on the simulator unless --port is given)",
                           [&a](torvek::ctl::Context& c) { return torvek::ctl::Tour(c, a.model); });
  AddModelOptions(tour, a.model);
  CLI::App* ports = app.add_subcommand(
      "ports",
      "List the serial ports, with what the system knows of each and whether you may "
      "open them");
  ports->add_flag("--probe", a.probe,
                  "Also ask each port you may open who is there (writes to it; a port another "
                  "program holds is skipped)");

  // The deepest subcommand given is the one to run: "transmittance set", not "transmittance".
  std::string name;
  Runner run;
  const auto find_command = [&] {
    if (ports->parsed())
      name = "ports";
    for (const auto& [sub, runner] : runners) {
      if (sub->parsed()) {
        name = sub == set ? "transmittance set" : sub->get_name();
        run = runner;
      }
    }
  };

  std::vector<std::string> args = NumbersAsNumbers(argc, argv);
  try {
    // CLI11 takes the arguments last first.
    std::vector<std::string> reversed(args.rbegin(), args.rend() - 1);
    app.parse(reversed);
  } catch (const CLI::ParseError& e) {
    // --help is a "parse error" that exits with 0; every real one is a usage error.
    if (e.get_exit_code() == 0)
      return Finish("", app.exit(e) == 0 ? torvek::ctl::kExitOk : torvek::ctl::kExitUsage);
    // Whether --json was parsed before the error depends on where the error was; a script
    // that asked for JSON gets it either way.
    bool json = a.json;
    for (std::size_t i = 1; i < args.size() && args[i] != "--"; ++i)
      json = json || args[i] == "--json";
    find_command();
    const std::string unknown = name.empty() ? UnknownCommand(app, args) : "";
    if (!unknown.empty())
      return Finish(
          "", torvek::ctl::EmitFailure(
                  "",
                  torvek::ctl::Failure{
                      torvek::ctl::kExitUsage, "unknown command '" + unknown + "'",
                      "the commands are " + CommandList(app) + "; attenuatorctl --help says more"},
                  torvek::ctl::OutputStyle{json, a.timeout_ms}));
    if (!json) {
      app.exit(e);  // the message, on stderr
      return torvek::ctl::kExitUsage;
    }
    const std::string help =
        name.empty() ? "attenuatorctl --help" : "attenuatorctl " + name + " --help";
    const int code = torvek::ctl::EmitFailure(
        name,
        torvek::ctl::Failure{torvek::ctl::kExitUsage, e.what(), help + " lists what it takes"},
        torvek::ctl::OutputStyle{true, a.timeout_ms});
    return Finish(name, code);
  }
  find_command();
  // `od VALUE` moves; `od` reads.
  const bool motion = IsMotion(name) || (od->parsed() && a.density);
  if (tour->parsed() && a.port.empty())
    a.simulate = true;
  const torvek::ctl::OutputStyle style{a.json, a.timeout_ms};
  if (a.json)
    torvek::ctl::SetInterruptedLastWords(name, motion, a.simulate ? "" : a.port);
  if (a.trace)
    TraceTheLine();
  try {
    // Asks the ports for `ports --probe` and `--port auto`; outlives the session, so that
    // Ctrl-C never reaches a handler that is gone.
    TORVEK::AttenuatorHandler prober;
    if (ports->parsed()) {
      if (!a.port.empty() || a.simulate)
        return Finish(
            name, torvek::ctl::EmitFailure(name,
                                           torvek::ctl::Failure{torvek::ctl::kExitUsage,
                                                                "ports looks at every port; --port "
                                                                "and --simulate do not go with it",
                                                                "attenuatorctl ports --probe"},
                                           style));
      torvek::ctl::CancelOnInterrupt(prober);
      torvek::ctl::Report report = torvek::ctl::PortsReport(prober, a.probe, a.timeout_ms);
      if (torvek::ctl::Interrupted())
        return Finish(name, torvek::ctl::EmitInterrupted(name, std::nullopt, "", style));
      return Finish(name, torvek::ctl::Emit(name, report, style));
    }
    std::string port_path = a.port;
    std::string auto_port;
    if (a.port == "auto") {
      torvek::ctl::CancelOnInterrupt(prober);
      torvek::ctl::Failure failure;
      torvek::ctl::Report listing;
      std::optional<TORVEK::SerialPortInfo> found =
          torvek::ctl::FindAttenuator(prober, a.timeout_ms, &failure, &listing);
      if (torvek::ctl::Interrupted())
        return Finish(name, torvek::ctl::EmitInterrupted(name, std::nullopt, "", style));
      if (!found)
        return Finish(name, torvek::ctl::EmitFailure(name, failure, style, listing));
      port_path = found->open_path;
      auto_port = found->path;
      if (a.json)
        torvek::ctl::SetInterruptedLastWords(name, motion, auto_port);
      std::fprintf(stderr, "attenuatorctl: --port auto: %s\n", auto_port.c_str());
    }
    torvek::ctl::Failure failure;
    std::unique_ptr<torvek::ctl::Session> session =
        torvek::ctl::Session::Open(port_path, a.simulate, &failure);
    if (!session)
      return Finish(name, torvek::ctl::EmitFailure(name, failure, style));
    torvek::ctl::CancelOnInterrupt(session->Handler());
    torvek::ctl::Context context{*session, a.timeout_ms, style};
    torvek::ctl::Report report = run(context);
    if (torvek::ctl::Interrupted()) {
      // A motion the device may still be making is stopped; a read needs nothing more.
      std::optional<int> stop;
      if (motion)
        stop = session->Handler().Stop(std::min(a.timeout_ms, kStopTimeoutMs));
      return Finish(name, torvek::ctl::EmitInterrupted(name, stop,
                                                       a.simulate          ? ""
                                                       : auto_port.empty() ? a.port
                                                                           : auto_port,
                                                       style));
    }
    if (!auto_port.empty())
      report.json.String("port", auto_port);
    return Finish(name, torvek::ctl::Emit(name, report, style));
  } catch (const std::exception& e) {
    return Finish(name,
                  torvek::ctl::EmitFailure(
                      name, torvek::ctl::Failure{torvek::ctl::kExitInternal, e.what(), ""}, style));
  }
}
