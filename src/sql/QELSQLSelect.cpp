#include "sql/QELSQLSelect.h"

#include <charconv>

#include "platform/QELException.h"
#include "sql/QELExprNodeField.h"
#include "sql/QELExpressionErrors.h"
#include "sql/QELSQLErrors.h"

namespace qel {

namespace {

bool SameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
    if (x != y) return false;
  }
  return true;
}

bool IsPlainColumn(const TQELSelectListItem& item) {
  return !item.IsExpression && !item.IsAllColumns;
}

// The integer of a TOP: an integer literal, or a parameter holding one.
bool TopInteger(const TToken& token, std::int32_t& value) {
  if (token.TokenType == tktInt) {
    const char* end = token.Text.data() + token.Text.size();
    const auto result = std::from_chars(token.Text.data(), end, value);
    return result.ec == std::errc() && result.ptr == end;
  }
  if (token.TokenType != tktParameter || !token.ParamValue || token.ParamValue->IsNull()) {
    return false;
  }
  const TQELVariant& param = *token.ParamValue;
  if (!param.IsNumeric()) return false;
  try {
    const double number = param.AsDouble();
    if (number != static_cast<double>(static_cast<std::int64_t>(number)) || number < INT32_MIN ||
        number > INT32_MAX) {
      return false;
    }
    value = static_cast<std::int32_t>(number);
    return true;
  } catch (const EQELException&) {
    return false;
  }
}

// Replaces, below `node`, every field reference that names a pseudonym of
// a plain column of `items` by a reference to that column.
void ReplacePseudonymsBelow(TQELExprNode& node, const std::vector<TQELSelectListItem>& items) {
  for (std::int32_t i = 0; i < node.ChildCount(); ++i) {
    TQELExprNode& child = node.Child(i);
    if (const auto* field = dynamic_cast<const TQELExprNodeField*>(&child)) {
      for (const TQELSelectListItem& item : items) {
        if (!IsPlainColumn(item) || item.Pseudonym.empty()) continue;
        if (!SameText(field->FieldName(), item.Pseudonym)) continue;
        if (!field->TableName().empty() && !SameText(field->TableName(), item.TableName)) continue;
        node.ReplaceChild(i, std::make_unique<TQELExprNodeField>(item.TableName, item.FieldName));
        break;
      }
    } else {
      ReplacePseudonymsBelow(child, items);
    }
  }
}

}  // namespace

// ---- Table references ----------------------------------------------------------

TQELTableReference::TQELTableReference() = default;
TQELTableReference::~TQELTableReference() = default;
TQELTableReference::TQELTableReference(TQELTableReference&&) noexcept = default;
TQELTableReference& TQELTableReference::operator=(TQELTableReference&&) noexcept = default;

void TQELTableReference::MakeJoin(std::unique_ptr<TQELTableReference> right, TQELJoinType joinType) {
  auto left = std::make_unique<TQELTableReference>();
  *left = std::move(*this);
  *this = TQELTableReference();
  Kind = trkJoin;
  JoinType = joinType;
  Left = std::move(left);
  Right = std::move(right);
  Line = Left->Line;
  Column = Left->Column;
}

// ---- ORDER BY ------------------------------------------------------------------

void TQELSQLCursorCommand::ParseOrderBy() {
  if (!IsWord(rwORDER)) return;
  GetNextToken();
  if (!IsWord(rwBY)) RaiseExpected(30188, "BY");
  if (!GetNextToken()) RaiseFound(30190, kQELMsgSortKeyExpected);
  constexpr TTokenKinds kSortKeyKinds =
      kNameKinds | KindBit(tktInt) | KindBit(tktReservedWord) | KindBit(tktParameter);
  while (true) {
    if (!IsKindOf(kSortKeyKinds) || (IsKind(tktString) && !IsName())) {
      RaiseFound(30187, kQELMsgFieldNameExpected);
    }
    TQELSortKey sortKey;
    sortKey.FieldName = NameText();
    GetNextToken();
    if (IsKind(tktDot)) {
      if (!GetNextToken()) RaiseFound(30186, kQELMsgFieldNameExpected);
      if (!IsKindOf(kSortKeyKinds & ~KindBit(tktInt)) || (IsKind(tktString) && !IsName())) {
        RaiseFound(30186, kQELMsgFieldNameExpected);
      }
      sortKey.TableName = std::move(sortKey.FieldName);
      sortKey.FieldName = NameText();
      GetNextToken();
    }
    if (IsWord(rwASC) || IsWord(rwDESC)) {
      sortKey.Descending = IsWord(rwDESC);
      GetNextToken();
    }
    FSortKeys.push_back(std::move(sortKey));
    if (!IsKind(tktComma)) return;
    if (!GetNextToken()) RaiseFound(30191, kQELMsgSortKeyExpected);
    if (!IsKindOf(kSortKeyKinds)) RaiseFound(30189, kQELMsgSortKeyExpected);
  }
}

// ---- SELECT --------------------------------------------------------------------

TQELSQLSelect::TQELSQLSelect(TQELLexer& lexer, TQELExprQuery* query)
    : TQELSQLCursorCommand(lexer, query) {
  Parse();
}

TQELSQLSelect::~TQELSQLSelect() = default;

bool TQELSQLSelect::ReadsColumnsOnly() const {
  if (FDistinct || FTopCount >= 0 || FGroupBy.Count() > 0 || FHaving) return false;
  if (FSelectAll) return true;
  for (const TQELSelectListItem& item : FSelectList) {
    if (item.IsExpression || (item.IsAllColumns && !item.TableName.empty())) return false;
  }
  return true;
}

bool TQELSQLSelect::IsSelfContained() const {
  if (!FConditionsPlaced) return false;
  for (const auto& reference : FTableRefs) {
    // Derived tables anywhere in the join trees.
    std::vector<const TQELTableReference*> pending{reference.get()};
    while (!pending.empty()) {
      const TQELTableReference* at = pending.back();
      pending.pop_back();
      if (at == nullptr) continue;
      if (at->Subquery && !at->Subquery->IsSelfContained()) return false;
      pending.push_back(at->Left.get());
      pending.push_back(at->Right.get());
    }
  }
  return true;
}

void TQELSQLSelect::Parse() {
  RequireFirstToken(30155);
  if (!IsWord(rwSELECT)) RaiseFound(30156, kQELMsgSqlTokenExpected);
  if (!GetNextToken()) RaiseEnd(kQELErrUnexpectedEndOfCommand);
  if (IsWord(rwALL) || IsWord(rwDISTINCT)) {
    FDistinct = IsWord(rwDISTINCT);
    if (!GetNextToken()) RaiseEnd(kQELErrUnexpectedEndOfCommand);
  }
  if (IsWord(rwTOP)) ParseTop();
  ParseSelectList();
  if (IsWord(rwINTO)) ParseInto();
  ParseFrom();
  if (IsWord(rwWHERE)) {
    GetNextToken();
    FWhere = ParseCondition();
    if (!FSelectAll) ReplacePseudonyms(*FWhere);
  }
  if (IsWord(rwGROUP)) {
    GetNextToken();
    if (!IsWord(rwBY)) RaiseExpected(30185, "BY");
    GetNextToken();
    ParseFieldList(FGroupBy);
  }
  if (IsWord(rwHAVING)) {
    GetNextToken();
    FHaving = ParseCondition();
    if (!FSelectAll) ReplacePseudonyms(*FHaving);
  }
  ParseOrderBy();
}

void TQELSQLSelect::ParseTop() {
  GetNextToken();
  std::int32_t count = 0;
  if (!TopInteger(FToken, count) || count < 0) RaiseFound(30158, kQELMsgIntegerExpected);
  FTopCount = count;
  GetNextToken();
  if (IsKind(tktComma)) {
    GetNextToken();
    std::int32_t start = 0;
    if (!TopInteger(FToken, start) || start < 0) RaiseFound(30159, kQELMsgIntegerExpected);
    FTopStart = start;
    GetNextToken();
  }
  if (AtEnd()) RaiseEnd(kQELErrUnexpectedEndOfCommand);
}

void TQELSQLSelect::ParseSelectList() {
  // "*" alone is the whole row; "*" among other items is an item.
  if (IsOperator("*")) {
    TToken next;
    FLexer->LookNextToken(next);
    if (next.TokenType != tktComma) {
      FSelectAll = true;
      GetNextToken();
      return;
    }
  }
  while (true) {
    ParseSelectItem();
    if (!IsKind(tktComma)) break;
    if (!GetNextToken()) RaiseFound(30160, kQELMsgExpressionExpected);
  }
  NameDuplicates();
}

void TQELSQLSelect::ParseSelectItem() {
  TQELSelectListItem item;
  TToken next, afterNext;
  FLexer->LookNextToken(next);
  const std::int32_t at = FLexer->GetCurrentTokenNo();
  if (FLexer->SetCurrentTokenNo(at + 2)) FLexer->GetCurrentToken(afterNext);
  FLexer->SetCurrentTokenNo(at);
  if (IsOperator("*")) {
    item.IsAllColumns = true;
    item.FieldName = "*";
    GetNextToken();
  } else if (IsName() && next.TokenType == tktDot && afterNext.TokenType == tktString &&
             afterNext.Text == "*") {
    item.IsAllColumns = true;
    item.TableName = FToken.Text;
    item.FieldName = "*";
    FLexer->SetCurrentTokenNo(at + 3);
    GetCurrentToken();
  } else {
    item.Expression = ParseValue();
    if (!item.Expression) RaiseFound(30160, kQELMsgExpressionExpected);
    if (item.Expression->IsFieldReference()) {
      item.Expression->GetFieldName(item.TableName, item.FieldName);
    } else {
      item.IsExpression = true;
    }
  }
  if (IsWord(rwAS)) {
    GetNextToken();
    if (!IsName()) RaiseFound(30162, kQELMsgPseudonymExpected);
    item.Pseudonym = FToken.Text;
    GetNextToken();
  } else if (IsName()) {
    item.Pseudonym = FToken.Text;
    GetNextToken();
  }
  if (IsPlainColumn(item)) {
    for (const TQELSelectListItem& earlier : FSelectList) {
      if (IsPlainColumn(earlier) && SameText(earlier.TableName, item.TableName) &&
          SameText(earlier.FieldName, item.FieldName)) {
        item.IsExpression = true;
        item.IsDuplicate = true;
        break;
      }
    }
  }
  // A plain column is read by name; its parse tree is not needed.
  if (!item.IsExpression) item.Expression.reset();
  FSelectList.push_back(std::move(item));
}

void TQELSQLSelect::NameDuplicates() {
  for (TQELSelectListItem& item : FSelectList) {
    if (!item.IsDuplicate || !item.Pseudonym.empty()) continue;
    for (std::int32_t n = 1;; ++n) {
      std::string candidate = item.FieldName;
      candidate += '_';
      candidate += std::to_string(n);
      bool taken = false;
      for (const TQELSelectListItem& other : FSelectList) {
        if (SameText(other.TableName, item.TableName) &&
            (SameText(other.FieldName, candidate) || SameText(other.Pseudonym, candidate))) {
          taken = true;
          break;
        }
      }
      if (!taken) {
        item.Pseudonym = candidate;
        break;
      }
    }
  }
}

void TQELSQLSelect::ParseInto() {
  if (!GetNextToken()) RaiseEnd(kQELErrUnexpectedEndOfCommand);
  if (IsWord(rwMEMORY)) {
    FIntoMemory = true;
    if (!GetNextToken()) RaiseEnd(kQELErrUnexpectedEndOfCommand);
    if (IsWord(rwIMMEDIATE)) {
      FIntoImmediate = true;
      if (!GetNextToken()) RaiseEnd(kQELErrUnexpectedEndOfCommand);
    }
  }
  if (!IsKindOf(kTableNameKinds) || (IsKind(tktString) && !IsName())) {
    RaiseFound(30165, kQELMsgTableNameExpected);
  }
  FIntoTable = NameText();
  GetNextToken();
  if (IsKind(tktDot)) {
    GetNextToken();
    if (!IsKindOf(kTableNameKinds) || (IsKind(tktString) && !IsName())) {
      RaiseFound(30166, kQELMsgTableNameExpected);
    }
    FIntoDatabase = std::move(FIntoTable);
    FIntoTable = NameText();
    GetNextToken();
  }
}

void TQELSQLSelect::ParseFrom() {
  if (!IsWord(rwFROM)) RaiseExpected(30184, "FROM");
  bool first = true;
  do {
    if (!GetNextToken()) RaiseFound(first ? 30182 : 30183, kQELMsgTableNameExpected);
    std::unique_ptr<TQELTableReference> reference;
    if (!ParseTableReference(reference)) {
      RaiseFound(first ? 30180 : 30181, kQELMsgTableNameExpected);
    }
    FTableRefs.push_back(std::move(reference));
    first = false;
  } while (IsKind(tktComma));
}

bool TQELSQLSelect::ParseTableReference(std::unique_ptr<TQELTableReference>& reference) {
  if (!ParsePrimaryReference(reference)) return false;
  ParseJoins(reference);
  return true;
}

bool TQELSQLSelect::ParsePrimaryReference(std::unique_ptr<TQELTableReference>& reference) {
  TQELStatementDepthGuard guard(FToken);
  reference = std::make_unique<TQELTableReference>();
  reference->Line = FToken.Line;
  reference->Column = FToken.Column;
  if (IsKind(tktLeftParenthesis)) {
    GetNextToken();
    if (!ParseTableReference(reference)) RaiseFound(30179, kQELMsgFieldNameExpected);
    if (IsKind(tktRightParenthesis)) GetNextToken();
    ParseAlias(reference->Alias);
    return true;
  }
  if (IsWord(rwSELECT)) {
    reference->Kind = trkDerived;
    reference->Subquery = std::make_unique<TQELSQLUnion>(*FLexer, FQuery);
    reference->Subquery->SetExecutor(FExecutor);
    GetCurrentToken();
    ParseAlias(reference->Alias);
    return true;
  }
  // Any name-like token names a table, reserved words included.
  if (!IsKindOf(kTableNameKinds) || (IsKind(tktString) && !IsName())) return false;
  ParseNamedTable(*reference);
  return true;
}

void TQELSQLSelect::ParseNamedTable(TQELTableReference& reference) {
  reference.InMemory = FInMemory;
  if (IsWord(rwMEMORY)) {
    reference.InMemory = true;
    if (!GetNextToken()) RaiseFound(30182, kQELMsgTableNameExpected);
    if (!IsKindOf(kTableNameKinds) || (IsKind(tktString) && !IsName())) {
      RaiseFound(30180, kQELMsgTableNameExpected);
    }
  }
  reference.TableName = NameText();
  if (IsKind(tktParameter)) QELSplitQuotedDatabase(reference.TableName, reference.DatabaseName);
  GetNextToken();
  if (IsKind(tktDot)) {
    if (!GetNextToken()) RaiseFound(30182, kQELMsgTableNameExpected);
    if (!IsKindOf(kTableNameKinds) || (IsKind(tktString) && !IsName())) {
      RaiseFound(30180, kQELMsgTableNameExpected);
    }
    reference.DatabaseName = std::move(reference.TableName);
    reference.TableName = NameText();
    GetNextToken();
  }
  ParseAlias(reference.Alias);
  if (IsWord(rwPASSWORD)) {
    GetNextToken();
    if (!IsKind(tktQuotedString) && !IsKind(tktParameter)) {
      RaiseFound(30178, kQELMsgPasswordExpected);
    }
    reference.Password = NameText();
    GetNextToken();
  }
}

void TQELSQLSelect::ParseJoins(std::unique_ptr<TQELTableReference>& reference) {
  while (true) {
    bool cross = false, natural = false, joinWords = false;
    TQELJoinType joinType = jtInner;
    // Each word before JOIN must be followed by another word.
    const auto wordThen = [&](std::int32_t code) {
      joinWords = true;
      GetNextToken();
      if (!IsKind(tktReservedWord)) RaiseFound(code, kQELMsgUnexpectedToken);
    };
    if (IsWord(rwCROSS)) {
      cross = true;
      wordThen(30168);
    } else {
      if (IsWord(rwNATURAL)) {
        natural = true;
        wordThen(30169);
      }
      if (IsWord(rwINNER)) {
        wordThen(30170);
      } else if (IsWord(rwLEFT)) {
        joinType = jtLeft;
        wordThen(30171);
      } else if (IsWord(rwRIGHT)) {
        joinType = jtRight;
        wordThen(30172);
      } else if (IsWord(rwFULL)) {
        joinType = jtFull;
        wordThen(30173);
      }
      if (IsWord(rwOUTER)) wordThen(30174);
    }
    if (!IsWord(rwJOIN)) {
      if (joinWords) RaiseExpected(30175, "JOIN");
      return;
    }
    GetNextToken();
    std::unique_ptr<TQELTableReference> right;
    if (AtEnd() || !ParsePrimaryReference(right)) RaiseFound(30176, kQELMsgTableNameExpected);
    reference->MakeJoin(std::move(right), joinType);
    reference->IsCross = cross;
    reference->IsNatural = natural;
    if (IsWord(rwON)) {
      GetNextToken();
      reference->OnCondition = ParseCondition();
      if (!FSelectAll) ReplacePseudonyms(*reference->OnCondition);
    } else if (IsWord(rwUSING)) {
      GetNextToken();
      if (!IsKind(tktLeftParenthesis)) RaiseExpected(30167, "(");
      GetNextToken();
      ParseNameList(reference->UsingColumns);
      if (!IsKind(tktRightParenthesis)) RaiseExpected(30167, ")");
      GetNextToken();
    }
  }
}

void TQELSQLSelect::ReplacePseudonyms(TQELExpression& expression) const {
  TQELExprNode* root = expression.Root();
  if (root == nullptr) return;
  if (const auto* field = dynamic_cast<const TQELExprNodeField*>(root)) {
    for (const TQELSelectListItem& item : FSelectList) {
      if (!IsPlainColumn(item) || item.Pseudonym.empty()) continue;
      if (!SameText(field->FieldName(), item.Pseudonym)) continue;
      if (!field->TableName().empty() && !SameText(field->TableName(), item.TableName)) continue;
      expression.SetRoot(std::make_unique<TQELExprNodeField>(item.TableName, item.FieldName));
      return;
    }
    return;
  }
  ReplacePseudonymsBelow(*root, FSelectList);
}

// ---- Query expressions ---------------------------------------------------------

TQELQueryExprNode::TQELQueryExprNode() = default;
TQELQueryExprNode::~TQELQueryExprNode() = default;

TQELSQLUnion::TQELSQLUnion(TQELLexer& lexer, TQELExprQuery* query)
    : TQELSQLCursorCommand(lexer, query) {
  Parse();
}

TQELSQLUnion::~TQELSQLUnion() = default;

bool TQELSQLUnion::RerunExpressions(std::vector<TQELExpression*>& expressions) {
  if (!FQueryTree || FQueryTree->Operation != qoSelect || !FQueryTree->Select || !IntoTable().empty()) return false;
  TQELSQLSelect& select = *FQueryTree->Select;
  if (select.TableRefCount() != 1 || select.TableRefs()[0]->Kind != trkTable || !select.ReadsColumnsOnly()) {
    return false;
  }
  if (select.Where() != nullptr) expressions.push_back(select.Where());
  return true;
}

bool TQELSQLUnion::IsSelfContained() const {
  std::vector<const TQELQueryExprNode*> pending{FQueryTree.get()};
  while (!pending.empty()) {
    const TQELQueryExprNode* node = pending.back();
    pending.pop_back();
    if (node == nullptr) continue;
    if (node->Select && !node->Select->IsSelfContained()) return false;
    pending.push_back(node->Left.get());
    pending.push_back(node->Right.get());
  }
  return true;
}

void TQELSQLUnion::Parse() {
  RequireFirstToken(30155);
  FQueryTree = ParseQueryExpression();
  CheckInto();
  ParseOrderBy();
}

std::unique_ptr<TQELQueryExprNode> TQELSQLUnion::ParseQueryExpression() {
  std::unique_ptr<TQELQueryExprNode> tree = ParseTerm();
  while (IsWord(rwUNION) || IsWord(rwEXCEPT) || IsWord(rwMINUS)) {
    auto node = std::make_unique<TQELQueryExprNode>();
    node->Operation = IsWord(rwUNION) ? qoUnion : qoExcept;
    GetNextToken();
    ParseSetOptions(*node);
    node->Left = std::move(tree);
    node->Right = ParseTerm();
    tree = std::move(node);
  }
  return tree;
}

std::unique_ptr<TQELQueryExprNode> TQELSQLUnion::ParseTerm() {
  std::unique_ptr<TQELQueryExprNode> tree = ParsePrimary();
  while (IsWord(rwINTERSECT)) {
    auto node = std::make_unique<TQELQueryExprNode>();
    node->Operation = qoIntersect;
    GetNextToken();
    ParseSetOptions(*node);
    node->Left = std::move(tree);
    node->Right = ParsePrimary();
    tree = std::move(node);
  }
  return tree;
}

std::unique_ptr<TQELQueryExprNode> TQELSQLUnion::ParsePrimary() {
  TQELStatementDepthGuard guard(FToken);
  if (IsKind(tktLeftParenthesis)) {
    GetNextToken();
    std::unique_ptr<TQELQueryExprNode> inner = ParseQueryExpression();
    if (IsKind(tktRightParenthesis)) GetNextToken();
    return inner;
  }
  if (!IsWord(rwSELECT)) RaiseExpected(30194, "SELECT");
  auto node = std::make_unique<TQELQueryExprNode>();
  node->Select = std::make_unique<TQELSQLSelect>(*FLexer, FQuery);
  node->Select->SetExecutor(FExecutor);
  GetCurrentToken();
  return node;
}

void TQELSQLUnion::ParseSetOptions(TQELQueryExprNode& node) {
  if (IsWord(rwALL)) {
    node.IsAll = true;
    GetNextToken();
  }
  if (!IsWord(rwCORRESPONDING)) return;
  node.IsCorresponding = true;
  GetNextToken();
  if (!IsWord(rwBY)) return;
  GetNextToken();
  if (!IsKind(tktLeftParenthesis)) RaiseExpected(30193, "(");
  GetNextToken();
  ParseNameList(node.CorrespondingColumns);
  if (!IsKind(tktRightParenthesis)) RaiseExpected(30193, ")");
  GetNextToken();
}

void TQELSQLUnion::CheckInto() {
  if (FQueryTree->Operation == qoSelect) {
    TQELSQLSelect& select = *FQueryTree->Select;
    FIntoTable = select.IntoTable();
    FIntoDatabase = select.IntoDatabase();
    FIntoMemory = select.IntoMemory();
    FIntoImmediate = select.IntoImmediate();
    return;
  }
  std::vector<const TQELQueryExprNode*> pending{FQueryTree.get()};
  while (!pending.empty()) {
    const TQELQueryExprNode* node = pending.back();
    pending.pop_back();
    if (node == nullptr) continue;
    if (node->Select && !node->Select->IntoTable().empty()) {
      throw EQELException(kQELErrUnionInto,
                          "UNION subselect cannot contain INTO caluse. Use SELECT * INTO table "
                          "FROM (select ... union select ...) instead");
    }
    pending.push_back(node->Left.get());
    pending.push_back(node->Right.get());
  }
}

}  // namespace qel
