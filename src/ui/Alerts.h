#pragma once

#include <functional>
#include <string>

namespace tallyglass::Alerts {

// An informational message with a title and a body, queued on the interface
// thread: the action that raised it is never held up by it. Bodies quote paths
// and errors: they are shown as Printable::escaped shows them (pass the real text).
void show(const std::string& title, const std::string& body);

// The same, shown at once and waited for: for the one message that comes
// before the program gives up, when no event loop will run to show a queued one.
void showAndWait(const std::string& title, const std::string& body);

// Ends the wait of showAndWait() as if the user had dismissed the message
// (nothing when none is shown). A stop asked for while the program says why
// it gives up must still stop it: the message's own event loop would
// otherwise keep the process waiting for a click.
void dismissWaiting();

// Where alerts go instead of a message box (tests answer them).
using Presenter = std::function<void(const std::string& title, const std::string& body)>;
void setPresenter(Presenter presenter);

} // namespace tallyglass::Alerts
