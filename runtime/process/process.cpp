#include "runtime/process/process.hpp"

#include "core/text.hpp"
#include "runtime/process/child_process.hpp"
#include "runtime/process/stream_pump.hpp"

namespace halvorn {
namespace {

std::unexpected<RunFailure> failed(RunStep step, Error error) {
  return std::unexpected(RunFailure{step, std::move(error)});
}

}  // namespace

std::expected<CapturedRun, RunFailure> run_with_input_steps(const std::string& program,
                                                            const std::vector<std::string>& args,
                                                            std::string_view input,
                                                            std::size_t max_stream_bytes) {
  auto in = make_pipe();
  if (!in) return failed(RunStep::Start, std::move(in.error()));
  auto out = make_pipe();
  if (!out) return failed(RunStep::Start, std::move(out.error()));
  auto err = make_pipe();
  if (!err) return failed(RunStep::Start, std::move(err.error()));

  const auto pid =
      spawn_program(program, args, ChildStdio{in->read.get(), out->write.get(), err->write.get()});
  // The child holds its own copies now; ours must go, or the output pipes
  // would never reach end of file.
  in->read.reset();
  out->write.reset();
  err->write.reset();
  if (!pid) return failed(RunStep::Start, std::move(pid.error()));

  CapturedRun run;
  auto pumped = pump_streams(
      PumpEnds{std::move(in->write), std::move(out->read), std::move(err->read)}, input,
      max_stream_bytes, run.out, run.err);
  // Always reap the child, whatever happened to the pipes (they are closed
  // by now, so a child still writing gets EPIPE and ends).
  auto status = wait_for_exit(*pid);
  if (!pumped) return std::unexpected(std::move(pumped.error()));
  if (!status) return failed(RunStep::Wait, std::move(status.error()));
  run.status = *status;
  return run;
}

Result<CapturedRun> run_with_input(const std::string& program,
                                   const std::vector<std::string>& args, std::string_view input,
                                   std::size_t max_stream_bytes) {
  auto run = run_with_input_steps(program, args, input, max_stream_bytes);
  if (!run) return fail(std::move(run.error().error));
  return std::move(*run);
}

Result<CapturedRun> run_and_capture(const std::string& program,
                                    const std::vector<std::string>& args,
                                    std::size_t max_stream_bytes) {
  return run_with_input(program, args, {}, max_stream_bytes);
}

Result<ExitStatus> run_inherited(const std::string& program,
                                 const std::vector<std::string>& args) {
  const auto pid = spawn_program(program, args, ChildStdio{});
  if (!pid) return fail(pid.error());
  return wait_for_exit(*pid);
}

std::string output_text(std::string_view bytes) {
  return std::string(trim(utf8_replace_invalid(bytes)));
}

}  // namespace halvorn
