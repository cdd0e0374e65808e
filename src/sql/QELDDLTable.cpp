#include "sql/QELDDLTable.h"

#include <charconv>

#include "platform/QELException.h"
#include "sql/QELExpression.h"
#include "sql/QELSQLErrors.h"

namespace qel {

namespace {

bool IsSizedType(TQELAdvancedFieldType type) {
  return IsStringAdvancedType(type) || IsBytesAdvancedType(type);
}

std::string AsciiUpper(std::string_view text) {
  std::string upper(text);
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return upper;
}

// The auto-increment type of an integer type's width, or aftUnknown.
TQELAdvancedFieldType AutoincOf(TQELAdvancedFieldType type) {
  switch (type) {
    case aftShortint: return aftAutoincShortint;
    case aftSmallint: return aftAutoincSmallint;
    case aftInteger: return aftAutoincInteger;
    case aftLargeint: return aftAutoincLargeint;
    case aftByte: return aftAutoincByte;
    case aftWord: return aftAutoincWord;
    case aftCardinal: return aftAutoincCardinal;
    default: return aftUnknown;
  }
}

// Conversions to a narrower integer wrap around (100000 becomes -31072 as
// a SMALLINT): a value converted to an integer type must still be the
// number it was, up to the truncation of a fraction.
bool FitsIntegerType(const TQELVariant& original, const TQELVariant& converted,
                     TQELBaseFieldType type) {
  if (!IsIntegerBaseType(type)) return true;
  try {
    TQELVariant wide = original;
    wide.ConvertTo(bftLargeint);
    return wide.AsLargeint() == converted.AsLargeint();
  } catch (const EQELException&) {
    return false;
  }
}

// True when `text` is one value expression that reads no column, such as
// NOW or 1 + 2, whose value converts to `type`: a default the table
// computes on each insert.
bool IsComputedDefault(const std::string& text, TQELBaseFieldType type) {
  TQELVariant value;
  if (!TQELExpression::EvaluateConstantText(text, value)) return false;
  try {
    TQELVariant converted = value;
    converted.ConvertTo(type);
    return FitsIntegerType(value, converted, type);
  } catch (const std::exception&) {
    return false;
  }
}

std::string IndexName(const char* prefix, const TQELSQLIndex& index) {
  std::string name = prefix;
  for (const TQELSQLIndexField& field : index.Fields) {
    name += '$';
    name += field.Name;
  }
  return name;
}

}  // namespace

// ---- Shared elements -----------------------------------------------------------

void TQELDDLTableManipulation::ExpectNoMoreTokens() const {
  if (!AtEnd()) RaiseFound(30246, kQELMsgUnexpectedToken);
}

std::int64_t TQELDDLTableManipulation::ParseInteger(std::int32_t code, std::int32_t overflowCode) {
  bool negative = false;
  if (IsOperator("-") || IsOperator("+")) {
    negative = IsOperator("-");
    GetNextToken();
  }
  if (!IsKind(tktInt)) RaiseFound(code, kQELMsgIntegerExpected);
  std::string digits;
  if (negative) digits.push_back('-');
  digits.append(FToken.Text);
  std::int64_t value = 0;
  const char* end = digits.data() + digits.size();
  const auto result = std::from_chars(digits.data(), end, value);
  if (result.ec != std::errc() || result.ptr != end) RaiseFound(overflowCode, kQELMsgIntegerExpected);
  GetNextToken();
  return value;
}

TQELVariant TQELDDLTableManipulation::ParseLiteral(std::string& text) {
  TQELVariant value;
  if (AtEnd()) RaiseEnd(kQELErrUnexpectedEndOfCommand);
  if (IsWord(rwNULL)) {
    text = FToken.Text;
    GetNextToken();
    return value;
  }
  // A sign belongs to the number behind it: DEFAULT -1 is minus one.
  bool negative = false;
  if (IsOperator("-") || IsOperator("+")) {
    TToken next;
    FLexer->LookNextToken(next);
    if (next.TokenType == tktInt || next.TokenType == tktFloat) {
      negative = IsOperator("-");
      GetNextToken();
    }
  }
  text.clear();
  if (negative) text.push_back('-');
  text.append(FToken.Text);
  if (IsKind(tktInt)) {
    std::int64_t number = 0;
    const char* end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, number);
    if (result.ec != std::errc() || result.ptr != end) {
      RaiseFound(kQELErrBadDefault, "Invalid numeric value '%s' at line %d, column %d");
    }
    value.Clear(bftLargeint);
    value.SetAsLargeint(number);
  } else if (IsKind(tktFloat)) {
    double number = 0;
    const char* end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, number);
    if (result.ec != std::errc() || result.ptr != end) {
      RaiseFound(kQELErrBadDefault, "Invalid numeric value '%s' at line %d, column %d");
    }
    value.Clear(bftDouble);
    value.SetAsDouble(number);
  } else if (IsKind(tktParameter) && FToken.ParamValue) {
    value = *FToken.ParamValue;
  } else {
    value.Clear(bftString);
    value.SetAsString(text);
  }
  GetNextToken();
  return value;
}

void TQELDDLTableManipulation::ConvertToColumnType(const TSQLFieldDef& field, TQELVariant& value,
                                                   const std::string& text, const TToken& at,
                                                   bool allowExpression) const {
  const TQELBaseFieldType type = AdvancedToBaseFieldType(field.FieldType);
  if (value.IsNull()) {
    value.Clear(type);
    return;
  }
  // Converted now, a value that does not fit its column fails here, once,
  // instead of at every insert that would use it.
  try {
    const TQELVariant original = value;
    value.ConvertTo(type);
    if (FitsIntegerType(original, value, type)) return;
    value = original;
  } catch (const EQELException&) {
  }
  if (allowExpression && value.IsString() && IsComputedDefault(text, type)) return;
  throw EQELException(kQELErrBadDefault,
                      "Value '%s' cannot be converted to the type of column '%s' at line %d, column %d",
                      {QELPrintableTokenText(text), field.Name, at.Line, at.Column});
}

void TQELDDLTableManipulation::ParseColumn(TSQLFieldDef& field, std::vector<TQELSQLIndex>& indexes) {
  if (!IsKindOf(kNameKinds | KindBit(tktReservedWord)) || (IsKind(tktString) && !IsName())) {
    RaiseFound(30227, kQELMsgFieldNameExpected);
  }
  field.Name = FToken.Text;
  field.Line = FToken.Line;
  field.Column = FToken.Column;
  GetNextToken();
  if (IsWord(rwIF)) {
    GetNextToken();
    if (!IsWord(rwNOT)) RaiseExpected(30488, "NOT");
    GetNextToken();
    if (!IsWord(rwEXISTS)) RaiseExpected(30489, "EXISTS");
    GetNextToken();
    field.IfNotExists = true;
  }
  ParseFieldType(field);
  while (!AtEnd() && !IsKind(tktComma) && !IsKind(tktRightParenthesis)) {
    ParseColumnOption(field, indexes);
  }
}

void TQELDDLTableManipulation::ParseFieldType(TSQLFieldDef& field) {
  if (!IsKind(tktReservedWord) && !(IsKind(tktString) && IsName())) {
    RaiseFound(30228, "Field type expected, but '%s' found at line %d, column %d");
  }
  const TQELFieldTypeMapping* mapping = FindFieldTypeMapping(FToken.Text);
  if (mapping == nullptr) RaiseFound(30232, "Unknown field type '%s' at line %d, column %d");
  field.FieldType = mapping->AdvancedType;
  GetNextToken();
  if (IsSizedType(field.FieldType)) {
    if (!IsKind(tktLeftParenthesis)) RaiseFound(30233, kQELMsgLeftParenthesisExpected);
    GetNextToken();
    if (!IsKind(tktInt)) RaiseFound(30235, kQELMsgDecimalExpected);
    // Checked here, before a record is laid out with it: a size of 0 or
    // of billions would make a useless or impossible record.
    std::int64_t size = 0;
    const char* end = FToken.Text.data() + FToken.Text.size();
    const auto result = std::from_chars(FToken.Text.data(), end, size);
    if (result.ec != std::errc() || result.ptr != end || size < 1 || size > kQELMaxColumnSize) {
      throw EQELException(kQELErrColumnSize,
                          "Size '%s' of column '%s' is outside 1..%d at line %d, column %d",
                          {QELPrintableTokenText(FToken.Text), field.Name, kQELMaxColumnSize,
                           FToken.Line, FToken.Column});
    }
    field.Size = static_cast<std::int32_t>(size);
    GetNextToken();
    if (!IsKind(tktRightParenthesis)) RaiseFound(30236, kQELMsgRightParenthesisExpected);
    GetNextToken();
  } else if (IsAutoincAdvancedType(field.FieldType) && IsKind(tktLeftParenthesis)) {
    ParseAutoincOptions(field);
  }
}

void TQELDDLTableManipulation::ParseAutoincOptions(TSQLFieldDef& field) {
  const bool plainAutoinc = field.FieldType == aftAutoinc;
  GetNextToken();
  while (true) {
    if (AtEnd()) RaiseEnd(30290);
    if (IsKind(tktRightParenthesis)) break;
    if (IsKind(tktComma)) {
      GetNextToken();
      continue;
    }
    if (IsWord(rwINCREMENT)) {
      GetNextToken();
      field.Increment = ParseInteger(30291, 30292);
      field.IncrementGiven = true;
    } else if (IsWord(rwINITIALVALUE) || IsWord(rwSTARTVALUE)) {
      GetNextToken();
      field.InitialValue = ParseInteger(30291, 30292);
      field.InitialValueGiven = true;
    } else if (IsWord(rwMINVALUE)) {
      GetNextToken();
      field.MinValue = ParseInteger(30291, 30292);
      field.MinValueGiven = true;
    } else if (IsWord(rwMAXVALUE)) {
      GetNextToken();
      field.MaxValue = ParseInteger(30291, 30292);
      field.MaxValueGiven = true;
    } else if (IsWord(rwCYCLED) || IsWord(rwNOCYCLED)) {
      field.Cycled = IsWord(rwCYCLED);
      field.CycledGiven = true;
      GetNextToken();
    } else if (IsWord(rwNOMAXVALUE)) {
      field.MaxValue = INT64_MAX;
      field.MaxValueGiven = true;
      GetNextToken();
    } else if (IsWord(rwNOMINVALUE)) {
      field.MinValue = 0;
      field.MinValueGiven = true;
      GetNextToken();
    } else if (const TQELFieldTypeMapping* mapping = FindFieldTypeMapping(FToken.Text);
               plainAutoinc && mapping != nullptr &&
               (IsKind(tktReservedWord) || (IsKind(tktString) && IsName()))) {
      const TQELAdvancedFieldType autoinc = AutoincOf(mapping->AdvancedType);
      if (autoinc == aftUnknown) {
        RaiseFound(30295, "Unsupported Autoinc DataType (%s) found at line %d, column %d");
      }
      field.FieldType = autoinc;
      GetNextToken();
    } else {
      RaiseFound(IsKind(tktReservedWord) ? 30294 : 30293, kQELMsgUnexpectedToken);
    }
  }
  GetNextToken();
}

void TQELDDLTableManipulation::ParseColumnOption(TSQLFieldDef& field,
                                                 std::vector<TQELSQLIndex>& indexes) {
  const auto blobNumber = [&](std::int32_t& target, bool& given) {
    GetNextToken();
    const std::int64_t value = ParseInteger(30235, 30235);
    if (value < 0 || value > INT32_MAX) RaiseFound(30235, kQELMsgDecimalExpected);
    target = static_cast<std::int32_t>(value);
    given = true;
  };
  const auto limit = [&](TQELVariant& target, bool& given) {
    GetNextToken();
    const TToken at = FToken;
    std::string text;
    target = ParseLiteral(text);
    ConvertToColumnType(field, target, text, at, false);
    given = true;
  };
  if (IsWord(rwNOT)) {
    GetNextToken();
    if (!IsWord(rwNULL)) RaiseFound(2011, "'NULL' expected (for NOT NULL), but '%s' found at line %d, column %d");
    field.Required = true;
    field.RequiredGiven = true;
    GetNextToken();
  } else if (IsWord(rwNULL)) {
    field.Required = false;
    field.RequiredGiven = true;
    GetNextToken();
  } else if (IsWord(rwBLOBBLOCKSIZE)) {
    blobNumber(field.BlobBlockSize, field.BlobBlockSizeGiven);
  } else if (IsWord(rwBLOBCOMPRESSIONMODE)) {
    blobNumber(field.BlobCompressionMode, field.BlobCompressionModeGiven);
  } else if (IsWord(rwBLOBCOMPRESSIONALGORITHM)) {
    GetNextToken();
    static constexpr std::string_view kAlgorithms[] = {"NONE", "ZLIB", "BZIP", "PPM"};
    const std::string name = AsciiUpper(FToken.Text);
    std::size_t found = std::size(kAlgorithms);
    for (std::size_t i = 0; i < std::size(kAlgorithms); ++i) {
      if (kAlgorithms[i] == name) found = i;
    }
    if (AtEnd() || found == std::size(kAlgorithms)) {
      RaiseFound(kQELErrCompressionAlgorithm,
                 "Unknown compression algorithm '%s' at line %d, column %d");
    }
    field.BlobCompressionAlgorithm = static_cast<std::uint8_t>(found);
    field.BlobCompressionAlgorithmGiven = true;
    GetNextToken();
  } else if (IsWord(rwDEFAULT)) {
    if (field.DefaultGiven) {
      throw EQELException(30299, "default value for column '%s' declared twice", {field.Name});
    }
    GetNextToken();
    const TToken at = FToken;
    std::string text;
    field.DefaultValue = ParseLiteral(text);
    ConvertToColumnType(field, field.DefaultValue, text, at, true);
    field.DefaultGiven = true;
  } else if (IsWord(rwMINVALUE)) {
    limit(field.MinValueConstraint, field.MinValueConstraintGiven);
  } else if (IsWord(rwMAXVALUE)) {
    limit(field.MaxValueConstraint, field.MaxValueConstraintGiven);
  } else if (IsWord(rwNOMINVALUE) || IsWord(rwNOMAXVALUE)) {
    TQELVariant& target = IsWord(rwNOMINVALUE) ? field.MinValueConstraint : field.MaxValueConstraint;
    (IsWord(rwNOMINVALUE) ? field.MinValueConstraintGiven : field.MaxValueConstraintGiven) = true;
    target.Clear(AdvancedToBaseFieldType(field.FieldType));
    GetNextToken();
  } else if (IsWord(rwPRIMARY) || IsWord(rwUNIQUE)) {
    TQELSQLIndex index;
    index.IsPrimary = IsWord(rwPRIMARY);
    index.IsUnique = true;
    GetNextToken();
    if (index.IsPrimary && IsWord(rwKEY)) GetNextToken();
    index.Fields.push_back({field.Name, false, false});
    index.Name = IndexName(index.IsPrimary ? "C_PK" : "C_Unique", index);
    indexes.push_back(std::move(index));
  } else {
    RaiseFound(30229, kQELMsgUnexpectedToken);
  }
}

bool TQELDDLTableManipulation::ParseIndexElement(std::vector<TQELSQLIndex>& indexes) {
  TQELSQLIndex index;
  if (IsWord(rwPRIMARY)) {
    index.IsPrimary = true;
    index.IsUnique = true;
    GetNextToken();
    if (IsWord(rwKEY)) GetNextToken();
  } else if (IsWord(rwUNIQUE)) {
    index.IsUnique = true;
    if (!GetNextToken()) RaiseEnd(30268);
    if (!IsWord(rwINDEX)) RaiseFound(30267, "'INDEX' keyword expected, but '%s' found at line %d, column %d");
    GetNextToken();
  } else if (IsWord(rwINDEX)) {
    GetNextToken();
  } else {
    return false;
  }
  std::string name;
  if (!IsKind(tktLeftParenthesis)) {
    if (!IsName()) RaiseFound(30269, kQELMsgIndexNameExpected);
    name = FToken.Text;
    GetNextToken();
  }
  ParseIndexFields(index);
  index.Name = !name.empty()         ? name
               : index.IsPrimary     ? IndexName("C_PK", index)
               : index.IsUnique      ? IndexName("C_Unique", index)
                                     : IndexName("i", index);
  indexes.push_back(std::move(index));
  return true;
}

void TQELDDLTableManipulation::ParseIndexFields(TQELSQLIndex& index) {
  if (!IsKind(tktLeftParenthesis)) RaiseFound(30273, kQELMsgLeftParenthesisExpected);
  while (true) {
    if (!GetNextToken()) RaiseEnd(30277);
    if (!IsName() && !(IsKind(tktReservedWord) && FToken.ReservedWord == rwNone)) {
      RaiseFound(30274, kQELMsgFieldNameExpected);
    }
    TQELSQLIndexField field{FToken.Text, false, false};
    GetNextToken();
    while (IsWord(rwASC) || IsWord(rwDESC) || IsWord(rwCASE) || IsWord(rwNOCASE)) {
      if (IsWord(rwDESC)) field.Descending = true;
      if (IsWord(rwNOCASE)) field.CaseInsensitive = true;
      GetNextToken();
    }
    index.Fields.push_back(std::move(field));
    if (AtEnd()) RaiseEnd(30277);
    if (IsKind(tktRightParenthesis)) break;
    if (!IsKind(tktComma)) RaiseFound(30276, kQELMsgParenthesisOrCommaExpected);
  }
  GetNextToken();
}

// ---- CREATE TABLE --------------------------------------------------------------

TQELDDLCreateTable::TQELDDLCreateTable(TQELLexer& lexer, TQELExprQuery* query)
    : TQELDDLTableManipulation(lexer, query) {
  Parse();
}

void TQELDDLCreateTable::Parse() {
  RequireFirstToken(30249);
  GetNextToken();  // TABLE
  if (!GetNextToken()) RaiseEnd(kQELErrUnexpectedEndOfCommand);
  if (IsWord(rwIF)) {
    GetNextToken();
    if (!IsWord(rwNOT)) RaiseExpected(30486, "NOT");
    GetNextToken();
    if (!IsWord(rwEXISTS)) RaiseExpected(30487, "EXISTS");
    GetNextToken();
    FIfNotExists = true;
  }
  ParseTableTarget(FTable, kQELTableTargetCodes);
  if (!IsKind(tktLeftParenthesis)) RaiseExpected(30226, "(");
  while (true) {
    if (!GetNextToken()) RaiseEnd(kQELErrUnexpectedEndOfCommand);
    if (!ParseIndexElement(FIndexes)) {
      FFieldDefs.emplace_back();
      ParseColumn(FFieldDefs.back(), FIndexes);
    }
    if (AtEnd()) RaiseEnd(kQELErrUnexpectedEndOfCommand);
    if (IsKind(tktRightParenthesis)) break;
    if (!IsKind(tktComma)) RaiseFound(30229, kQELMsgUnexpectedToken);
  }
  GetNextToken();
  ExpectNoMoreTokens();
}

// ---- DROP TABLE, TRUNCATE TABLE ------------------------------------------------

TQELDDLDropTable::TQELDDLDropTable(TQELLexer& lexer, TQELExprQuery* query)
    : TQELDDLTableManipulation(lexer, query) {
  Parse();
}

void TQELDDLDropTable::Parse() {
  RequireFirstToken(30251);
  GetNextToken();  // TABLE
  if (!GetNextToken()) RaiseEnd(kQELErrUnexpectedEndOfCommand);
  if (IsWord(rwIF)) {
    GetNextToken();
    if (!IsWord(rwEXISTS)) RaiseExpected(30485, "EXISTS");
    GetNextToken();
    FIfExists = true;
  }
  ParseTableTarget(FTable, kQELTableTargetCodes);
  ExpectNoMoreTokens();
}

TQELDDLTruncateTable::TQELDDLTruncateTable(TQELLexer& lexer, TQELExprQuery* query)
    : TQELDDLTableManipulation(lexer, query) {
  Parse();
}

void TQELDDLTruncateTable::Parse() {
  RequireFirstToken(30490);
  if (!GetNextToken()) RaiseEnd(kQELErrUnexpectedEndOfCommand);
  if (IsWord(rwTABLE) && !GetNextToken()) RaiseEnd(kQELErrUnexpectedEndOfCommand);
  ParseTableTarget(FTable, kQELTableTargetCodes);
  ExpectNoMoreTokens();
}

// ---- ALTER TABLE, RENAME TABLE -------------------------------------------------

TQELDDLAlterTable::TQELDDLAlterTable(TQELLexer& lexer, TQELExprQuery* query)
    : TQELDDLTableManipulation(lexer, query) {
  Parse();
}

void TQELDDLAlterTable::Parse() {
  RequireFirstToken(30261);
  GetNextToken();  // TABLE
  if (!GetNextToken()) RaiseEnd(kQELErrUnexpectedEndOfCommand);
  ParseTableTarget(FTable, kQELTableTargetCodes);
  if (AtEnd()) RaiseEnd(30253);
  TQELAlterKind kind = akAdd;
  while (true) {
    // After a comma the same change goes on unless a new one is named.
    if (IsWord(rwADD) || IsWord(rwDROP) || IsWord(rwMODIFY)) {
      kind = IsWord(rwADD) ? akAdd : IsWord(rwDROP) ? akDrop : akModify;
      if (!GetNextToken()) RaiseEnd(kQELErrUnexpectedEndOfCommand);
      ParseAction(kind);
    } else if (IsWord(rwRENAME)) {
      if (!GetNextToken()) RaiseEnd(kQELErrUnexpectedEndOfCommand);
      ParseRename();
      kind = akRenameColumn;
    } else if (FActions.empty() || kind == akRenameColumn || kind == akRenameTable) {
      RaiseFound(30252, "ADD, DROP or MODIFY keyword expected, but '%s' found at line %d, column %d");
    } else {
      ParseAction(kind);
    }
    if (AtEnd()) return;
    if (!IsKind(tktComma)) RaiseFound(30252, "ADD, DROP or MODIFY keyword expected, but '%s' found at line %d, column %d");
    if (!GetNextToken()) RaiseEnd(30253);
  }
}

void TQELDDLAlterTable::ParseAction(TQELAlterKind kind) {
  TQELAlterAction action;
  action.Kind = kind;
  if (kind == akDrop) {
    if (IsWord(rwCOLUMN) && !GetNextToken()) RaiseEnd(kQELErrUnexpectedEndOfCommand);
    if (!IsName() && !IsKind(tktReservedWord)) RaiseFound(30227, kQELMsgFieldNameExpected);
    action.OldName = FToken.Text;
    GetNextToken();
  } else {
    std::vector<TQELSQLIndex> indexes;
    if (kind == akAdd && ParseIndexElement(indexes)) {
      action.IsIndex = true;
      action.Index = std::move(indexes.back());
      FActions.push_back(std::move(action));
      return;
    }
    if (IsWord(rwCOLUMN) && !GetNextToken()) RaiseEnd(kQELErrUnexpectedEndOfCommand);
    ParseColumn(action.Field, indexes);
    FActions.push_back(std::move(action));
    // A column's PRIMARY KEY or UNIQUE adds its index as well.
    for (TQELSQLIndex& index : indexes) {
      TQELAlterAction add;
      add.IsIndex = true;
      add.Index = std::move(index);
      FActions.push_back(std::move(add));
    }
    return;
  }
  FActions.push_back(std::move(action));
}

std::string TQELDDLAlterTable::ParseNewName(std::int32_t code) {
  if (!IsWord(rwTO)) RaiseExpected(code, "TO");
  if (!GetNextToken()) RaiseEnd(kQELErrUnexpectedEndOfCommand);
  if (!IsKindOf(kTableNameKinds) || (IsKind(tktString) && !IsName())) {
    RaiseFound(30230, kQELMsgTableNameExpected);
  }
  std::string name = NameText();
  GetNextToken();
  return name;
}

void TQELDDLAlterTable::ParseRename() {
  TQELAlterAction action;
  if (IsWord(rwTO)) {
    action.Kind = akRenameTable;
    action.NewName = ParseNewName(30352);
  } else {
    action.Kind = akRenameColumn;
    if (IsWord(rwCOLUMN) && !GetNextToken()) RaiseEnd(kQELErrUnexpectedEndOfCommand);
    if (!IsName() && !IsKind(tktReservedWord)) RaiseFound(30227, kQELMsgFieldNameExpected);
    action.OldName = FToken.Text;
    GetNextToken();
    action.NewName = ParseNewName(30352);
  }
  FActions.push_back(std::move(action));
}

TQELDDLRenameTable::TQELDDLRenameTable(TQELLexer& lexer, TQELExprQuery* query)
    : TQELDDLAlterTable(lexer, query, TNoParse{}) {
  Parse();
}

void TQELDDLRenameTable::Parse() {
  RequireFirstToken(30354);
  if (!GetNextToken()) RaiseEnd(30353);
  if (IsWord(rwTABLE) && !GetNextToken()) RaiseEnd(30353);
  ParseTableTarget(FTable, kQELTableTargetCodes);
  if (!IsWord(rwTO)) RaiseExpected(30355, "TO");
  if (!GetNextToken()) RaiseEnd(kQELErrUnexpectedEndOfCommand);
  if (!IsKindOf(kTableNameKinds) || (IsKind(tktString) && !IsName())) {
    RaiseFound(30230, kQELMsgTableNameExpected);
  }
  FNewName = NameText();
  GetNextToken();
  ExpectEndOfCommand();
  TQELAlterAction action;
  action.Kind = akRenameTable;
  action.NewName = FNewName;
  FActions.push_back(std::move(action));
}

}  // namespace qel
