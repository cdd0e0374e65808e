#pragma once
// Statement parse trees as short texts, and the parsing of one SQL text by
// the processor without running it.

#include <memory>
#include <string>

#include "ExpressionTestSupport.h"
#include "platform/QELException.h"
#include "sql/QELSQLProcessor.h"

namespace qel::test {

// A text parsed by a processor of its own; the last statement stays.
struct TParsed {
  std::unique_ptr<TQELSQLProcessor> Processor = std::make_unique<TQELSQLProcessor>();

  explicit TParsed(const std::string& text) {
    Processor->SetSQLText(text);
    Processor->ParseSQL();
  }
  template <class T>
  T& As() const {
    auto* statement = dynamic_cast<T*>(Processor->Statement());
    if (statement == nullptr) throw std::logic_error("unexpected statement class");
    return *statement;
  }
  // The one SELECT block of a query without set operations.
  TQELSQLSelect& Select() const { return *As<TQELSQLUnion>().QueryTree()->Select; }
};

struct TRaised {
  std::int32_t Code = 0;
  std::string Message;
};

inline TRaised ParseRaised(const std::string& text) {
  try {
    TQELSQLProcessor processor;
    processor.SetSQLText(text);
    processor.ParseSQL();
  } catch (const EQELException& e) {
    return {e.NativeError(), e.what()};
  }
  return {};
}

std::string DescribeQuery(const TQELQueryExprNode& node);

inline std::string DescribeReference(const TQELTableReference& reference) {
  std::string out;
  switch (reference.Kind) {
    case trkTable:
      if (!reference.DatabaseName.empty()) out += reference.DatabaseName + ".";
      out += reference.TableName;
      break;
    case trkDerived:
      out += "(" + DescribeQuery(*reference.Subquery->QueryTree()) + ")";
      break;
    case trkJoin: {
      static const char* const kTypes[] = {"?", "JOIN", "LEFT JOIN", "RIGHT JOIN", "FULL JOIN"};
      out += "(" + DescribeReference(*reference.Left) + " ";
      if (reference.IsNatural) out += "NATURAL ";
      out += reference.IsCross ? "CROSS JOIN" : kTypes[reference.JoinType];
      out += " " + DescribeReference(*reference.Right);
      if (reference.OnCondition) out += " ON " + Shape(*reference.OnCondition->Root());
      if (!reference.UsingColumns.empty()) {
        out += " USING";
        for (const std::string& column : reference.UsingColumns) out += " " + column;
      }
      out += ")";
      break;
    }
  }
  if (!reference.Alias.empty()) out += " " + reference.Alias;
  return out;
}

// A query tree: each SELECT block as "select <first table>".
inline std::string DescribeQuery(const TQELQueryExprNode& node) {
  if (node.Operation == qoSelect) {
    return "select " + (node.Select->TableRefCount() > 0
                            ? DescribeReference(*node.Select->TableRefs()[0])
                            : std::string("?"));
  }
  static const char* const kOperations[] = {"?", "UNION", "EXCEPT", "INTERSECT"};
  std::string out = "(" + DescribeQuery(*node.Left) + " " + kOperations[node.Operation];
  if (node.IsAll) out += " ALL";
  if (node.IsCorresponding) {
    out += " CORRESPONDING";
    for (const std::string& column : node.CorrespondingColumns) out += " " + column;
  }
  return out + " " + DescribeQuery(*node.Right) + ")";
}

}  // namespace qel::test
