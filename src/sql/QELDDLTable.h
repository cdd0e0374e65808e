#pragma once
// The table definition statements: CREATE TABLE, DROP TABLE, TRUNCATE
// TABLE, ALTER TABLE and RENAME TABLE, with the column and index
// definitions they read (TSQLFieldDef, TQELSQLIndex).

#include <cstdint>
#include <string>
#include <vector>

#include "sql/QELSQLCommand.h"
#include "storage/QELFieldTypes.h"
#include "values/QELVariant.h"

namespace qel {

// One column of CREATE TABLE or ALTER TABLE. Each option has a flag that
// tells whether the statement gave it.
struct TSQLFieldDef {
  std::string Name;
  bool IfNotExists = false;
  TQELAdvancedFieldType FieldType = aftUnknown;
  std::int32_t Size = 0;  // for string and byte types
  bool RequiredGiven = false;
  bool Required = false;  // NOT NULL
  bool IncrementGiven = false, InitialValueGiven = false, MinValueGiven = false,
       MaxValueGiven = false, CycledGiven = false;
  std::int64_t Increment = 1;
  std::int64_t InitialValue = 0;
  std::int64_t MinValue = 0;
  std::int64_t MaxValue = INT64_MAX;
  bool Cycled = false;
  bool BlobBlockSizeGiven = false, BlobCompressionModeGiven = false,
       BlobCompressionAlgorithmGiven = false;
  std::int32_t BlobBlockSize = 102400;
  std::int32_t BlobCompressionMode = 0;
  std::uint8_t BlobCompressionAlgorithm = 0;  // 0 NONE, 1 ZLIB, 2 BZIP, 3 PPM
  // Converted to the column's type when it was read; a text that is an
  // expression (such as NOW) stays a text.
  bool DefaultGiven = false;
  TQELVariant DefaultValue;
  // Value limits; NULL for NOMINVALUE and NOMAXVALUE.
  bool MinValueConstraintGiven = false, MaxValueConstraintGiven = false;
  TQELVariant MinValueConstraint;
  TQELVariant MaxValueConstraint;
  // Where the column's name stands.
  std::int32_t Line = 0;
  std::int32_t Column = 0;
};

using TSQLFieldDefs = std::vector<TSQLFieldDef>;

struct TQELSQLIndexField {
  std::string Name;
  bool Descending = false;
  bool CaseInsensitive = false;
};

// An index of CREATE TABLE or CREATE INDEX. (The engine's index class is
// TQELIndex; this is only its definition as written.)
struct TQELSQLIndex {
  std::string Name;
  bool IsUnique = false;
  bool IsPrimary = false;
  std::vector<TQELSQLIndexField> Fields;
};

// Base of the table definition statements: the target and the column and
// index elements they share.
class TQELDDLTableManipulation : public TQELSQLCommand {
 public:
  using TQELSQLCommand::TQELSQLCommand;

  const TQELTableTarget& Table() const { return FTable; }

 protected:
  // A column element from FToken: name, type, options; single-column
  // PRIMARY KEY and UNIQUE add to `indexes`.
  void ParseColumn(TSQLFieldDef& field, std::vector<TQELSQLIndex>& indexes);
  // PRIMARY [KEY] [name] (fields), [UNIQUE] INDEX [name] (fields); false
  // when FToken starts no index element.
  bool ParseIndexElement(std::vector<TQELSQLIndex>& indexes);
  // "(" index fields ")" from FToken.
  void ParseIndexFields(TQELSQLIndex& index);
  // Tokens left after the statement raise 30246.
  void ExpectNoMoreTokens() const;

  TQELTableTarget FTable;

 private:
  void ParseFieldType(TSQLFieldDef& field);
  void ParseAutoincOptions(TSQLFieldDef& field);
  void ParseColumnOption(TSQLFieldDef& field, std::vector<TQELSQLIndex>& indexes);
  std::int64_t ParseInteger(std::int32_t code, std::int32_t overflowCode);
  // A literal value: NULL, a signed number or one token's text; FToken on
  // the value's first token, left after it.
  TQELVariant ParseLiteral(std::string& text);
  void ConvertToColumnType(const TSQLFieldDef& field, TQELVariant& value, const std::string& text,
                           const TToken& at, bool allowExpression) const;
};

class TQELDDLCreateTable final : public TQELDDLTableManipulation {
 public:
  TQELDDLCreateTable(TQELLexer& lexer, TQELExprQuery* query);
  void Parse() override;

  bool IfNotExists() const { return FIfNotExists; }
  const TSQLFieldDefs& FieldDefs() const { return FFieldDefs; }
  const std::vector<TQELSQLIndex>& Indexes() const { return FIndexes; }

 private:
  bool FIfNotExists = false;
  TSQLFieldDefs FFieldDefs;
  std::vector<TQELSQLIndex> FIndexes;
};

class TQELDDLDropTable final : public TQELDDLTableManipulation {
 public:
  TQELDDLDropTable(TQELLexer& lexer, TQELExprQuery* query);
  void Parse() override;

  bool IfExists() const { return FIfExists; }

 private:
  bool FIfExists = false;
};

class TQELDDLTruncateTable final : public TQELDDLTableManipulation {
 public:
  TQELDDLTruncateTable(TQELLexer& lexer, TQELExprQuery* query);
  void Parse() override;
};

enum TQELAlterKind : std::uint8_t {
  akAdd = 0,
  akDrop = 1,
  akModify = 2,
  akRenameTable = 3,
  akRenameColumn = 4,
};

// One change of ALTER TABLE.
struct TQELAlterAction {
  TQELAlterKind Kind = akAdd;
  bool IsIndex = false;
  TSQLFieldDef Field;   // ADD and MODIFY of a column
  TQELSQLIndex Index;   // ADD of an index
  std::string OldName;  // DROP, RENAME COLUMN
  std::string NewName;  // RENAME
};

class TQELDDLAlterTable : public TQELDDLTableManipulation {
 public:
  TQELDDLAlterTable(TQELLexer& lexer, TQELExprQuery* query);
  void Parse() override;

  const std::vector<TQELAlterAction>& Actions() const { return FActions; }

 protected:
  // For RENAME TABLE, which parses itself.
  struct TNoParse {};
  TQELDDLAlterTable(TQELLexer& lexer, TQELExprQuery* query, TNoParse)
      : TQELDDLTableManipulation(lexer, query) {}

  std::vector<TQELAlterAction> FActions;

 private:
  void ParseAction(TQELAlterKind kind);
  void ParseRename();
  std::string ParseNewName(std::int32_t code);
};

class TQELDDLRenameTable final : public TQELDDLAlterTable {
 public:
  TQELDDLRenameTable(TQELLexer& lexer, TQELExprQuery* query);
  void Parse() override;

  const std::string& NewName() const { return FNewName; }

 private:
  std::string FNewName;
};

}  // namespace qel
