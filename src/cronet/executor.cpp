#include "executor.h"

#include <utility>

#include "platform.h"

namespace tarnwick {

void post_runnable(ExecutorContext& context, Cronet_RunnablePtr runnable, const RunnableOps& ops) {
  // Counted before it is queued, so teardown never sees queued work at zero.
  context.in_flight_executors->fetch_add(1, std::memory_order_acq_rel);
  if (!context.command_sender.send(ExecutorCommand{runnable})) {
    // The executor thread outlives every sender, so this cannot happen while the
    // context is valid; should it, free the runnable rather than leak it and
    // leave the counter raised for teardown to wait out.
    ops.destroy(runnable);
    context.in_flight_executors->fetch_sub(1, std::memory_order_acq_rel);
  }
}

void execute_on_session_thread(Cronet_ExecutorPtr executor, Cronet_RunnablePtr runnable) {
  auto* context = static_cast<ExecutorContext*>(Cronet_Executor_GetClientContext(executor));
  post_runnable(*context, runnable);
}

void run_executor_loop(CommandChannel::Receiver& receiver, const SharedCounter& in_flight,
                       const RunnableOps& ops) {
  while (auto command = receiver.recv()) {
    ops.run(command->runnable);
    ops.destroy(command->runnable);
    in_flight->fetch_sub(1, std::memory_order_acq_rel);
  }
}

bool start_executor_thread(CommandChannel::Receiver receiver, SharedCounter in_flight,
                           const RunnableOps& ops) {
  // std::function needs a copyable callable, so the receiver travels in a shared_ptr.
  auto rx = std::make_shared<CommandChannel::Receiver>(std::move(receiver));
  return platform::spawn_detached([rx, in_flight = std::move(in_flight), ops]() mutable {
    run_executor_loop(*rx, in_flight, ops);
    // Drop both ends here, not whenever the closure happens to be freed.
    rx.reset();
    in_flight.reset();
  });
}

}  // namespace tarnwick
