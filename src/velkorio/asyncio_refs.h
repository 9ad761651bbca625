#pragma once
// The pieces of asyncio that velkorio's native code calls: looked up once,
// when the module is imported (velkorio's package imports asyncio first), and
// kept for the life of the process, as the module itself is.

#include <Python.h>

namespace velkorio::asyncio_refs {

// format_helpers._format_callback_source(callback, args, *, debug)
extern PyObject* format_callback_source;
// format_helpers.extract_stack(frame)
extern PyObject* extract_stack;
// base_events._format_handle(handle), base_events.logger
extern PyObject* format_handle;
extern PyObject* logger;
// selectors.SelectorKey, selectors._SelectorMapping
extern PyObject* selector_key;
extern PyObject* selector_mapping;
// selector_events.BaseSelectorEventLoop: its reader and writer methods
// serve a loop given a selector other than ours.
extern PyObject* base_selector_loop;
// events._ThreadSafeHandle: what call_soon_threadsafe returns, whose
// cancel() from another thread waits for a run in progress to end.
extern PyObject* threadsafe_handle;

// asyncio.tasks, whose Task create_task looks up on each call
extern PyObject* tasks_module;
// ("loop",): the keyword names of Task(coro, loop=...)
extern PyObject* loop_keyword;

bool init();

}  // namespace velkorio::asyncio_refs
