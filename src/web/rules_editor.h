#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "web/response.h"
#include "web/web_context.h"

namespace kestrin::web {

// The rules editor at "/rules": deletes a rule ("delrule="), saves the rule
// form ("s_handle=": insert, or update with "changeid="), or shows the page
// with the form (edit mode with "editrule=") and the list of rules. Every
// change that reaches the database queues "update" so that the event thread
// rereads the rules. Keeps no state; runs on any connection thread.
class RulesEditor {
 public:
  // `context` must outlive the editor; it is read, never changed.
  explicit RulesEditor(const WebContext& context) : context_(context) {}

  // Handles one request that passed the login test. `db_path` is the copy
  // taken at the start of the request. Statement errors propagate (the
  // server answers 500).
  WebResponse Handle(const std::vector<std::string>& params, std::string_view param_text,
                     const std::string& db_path) const;

 private:
  WebResponse Delete(const std::vector<std::string>& params, const std::string& db_path) const;
  WebResponse Save(const std::vector<std::string>& params, const std::string& db_path) const;
  WebResponse Page(const std::vector<std::string>& params, std::string_view param_text,
                   const std::string& db_path) const;
  void QueueUpdate() const;

  const WebContext& context_;
};

// The page of a database that cannot be opened.
WebResponse DatabaseErrorReply(std::string_view error);

}  // namespace kestrin::web
