#include "link/database_adapter.h"

#include "link/database_rules.h"
#include "link/database_soci.h"
#include "platform/codepage.h"

namespace kestrin::link {
namespace {

class SociConnection : public SqlConnection {
 public:
  explicit SociConnection(std::unique_ptr<DatabaseConnection> connection)
      : connection_(std::move(connection)) {}

  void Execute(const std::string& sql, const std::vector<SqlParam>& params) override {
    Bound bound(params);
    {
      soci::details::prepare_temp_type prepared = connection_->session().prepare << sql;
      bound.Use(prepared);
      soci::statement statement(prepared);
      statement.execute(true);
    }
    connection_->session().commit();
  }

  std::vector<SqlRow> Query(const std::string& sql, const std::vector<SqlParam>& params) override {
    Bound bound(params);
    std::vector<SqlRow> rows;
    soci::details::prepare_temp_type prepared = connection_->session().prepare << sql;
    bound.Use(prepared);
    soci::rowset<soci::row> result(prepared);
    for (const soci::row& row : result) {
      SqlRow cells;
      for (size_t i = 0; i < row.size(); ++i) {
        if (row.get_indicator(i) == soci::i_null) {
          cells.emplace_back(std::nullopt);
        } else {
          cells.emplace_back(platform::Cp1251ToUtf8(ColumnText(row, i)));
        }
      }
      rows.push_back(std::move(cells));
    }
    return rows;
  }

 private:
  // The parameter values in the form they are bound in; they stay in place
  // while the statement runs.
  class Bound {
   public:
    explicit Bound(const std::vector<SqlParam>& params) : params_(params) {
      for (const SqlParam& p : params_) {
        if (const auto* text = std::get_if<std::string>(&p.value)) {
          texts_.push_back(platform::Utf8ToCp1251(*text));
          numbers_.push_back(0);
        } else {
          texts_.emplace_back();
          numbers_.push_back(static_cast<long long>(std::get<int64_t>(p.value)));
        }
      }
    }
    void Use(soci::details::prepare_temp_type& prepared) {
      for (size_t i = 0; i < params_.size(); ++i) {
        if (std::holds_alternative<std::string>(params_[i].value)) {
          prepared, soci::use(texts_[i], params_[i].name);
        } else {
          prepared, soci::use(numbers_[i], params_[i].name);
        }
      }
    }

   private:
    const std::vector<SqlParam>& params_;
    std::vector<std::string> texts_;
    std::vector<long long> numbers_;
  };

  std::unique_ptr<DatabaseConnection> connection_;
};

}  // namespace

std::function<std::unique_ptr<SqlConnection>(std::string& error)> DatabaseOpener(
    Database& database) {
  return [&database](std::string& error) -> std::unique_ptr<SqlConnection> {
    std::unique_ptr<DatabaseConnection> connection = database.Open(&error);
    if (!connection) return nullptr;
    return std::make_unique<SociConnection>(std::move(connection));
  };
}

}  // namespace kestrin::link
