// The bridge between Cronet's executors and a session's executor thread: Cronet
// posts runnables through the execute function, the session's one thread runs them.
#pragma once

#include "cronet_c.h"
#include "session.h"

namespace tarnwick {

// Client context of every Cronet executor a request makes. Owned by the request;
// its sender clone keeps the session's executor thread alive while it exists.
struct ExecutorContext {
  CommandChannel::Sender command_sender;
  SharedCounter in_flight_executors;

  ExecutorContext(CommandChannel::Sender sender, SharedCounter in_flight)
      : command_sender(std::move(sender)), in_flight_executors(std::move(in_flight)) {}
  explicit ExecutorContext(const Session& session)
      : command_sender(session.command_sender), in_flight_executors(session.in_flight_executors) {}
};

// How the executor thread runs and frees a runnable. Cronet's functions in
// production; tests substitute their own.
struct RunnableOps {
  void (*run)(Cronet_RunnablePtr);
  void (*destroy)(Cronet_RunnablePtr);
};
inline constexpr RunnableOps kCronetRunnableOps{&Cronet_Runnable_Run, &Cronet_Runnable_Destroy};

// The execute function to register with Cronet_Executor_CreateWith; the executor's
// client context must be an ExecutorContext. Takes ownership of the runnable.
void execute_on_session_thread(Cronet_ExecutorPtr executor, Cronet_RunnablePtr runnable);

// The body of the execute function: counts the runnable in, then queues it.
void post_runnable(ExecutorContext& context, Cronet_RunnablePtr runnable,
                   const RunnableOps& ops = kCronetRunnableOps);

// Starts the detached thread that runs queued runnables one at a time until every
// sender is gone and the queue is empty. False when the thread cannot be started.
bool start_executor_thread(CommandChannel::Receiver receiver, SharedCounter in_flight,
                           const RunnableOps& ops = kCronetRunnableOps);

// The loop itself, for running on the calling thread.
void run_executor_loop(CommandChannel::Receiver& receiver, const SharedCounter& in_flight,
                       const RunnableOps& ops = kCronetRunnableOps);

}  // namespace tarnwick
