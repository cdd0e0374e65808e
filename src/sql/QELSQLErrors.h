#pragma once
// Messages of the statement parsers' errors, shared by the places that
// raise them, and the native codes that more than one place or the tests
// name. Every message that names a token ends in its line and column.

#include <cstdint>
#include <string_view>

namespace qel {

inline constexpr std::string_view kQELMsgBlank = "Blank SQL command";
inline constexpr std::string_view kQELMsgUnexpectedEnd =
    "Unexpected end of SQL command found at line %d, column %d";
inline constexpr std::string_view kQELMsgUnexpectedToken =
    "Unexpected token '%s' found at line %d, column %d";
inline constexpr std::string_view kQELMsgSqlTokenExpected =
    "SQL token expected, but '%s' found at line %d, column %d";
inline constexpr std::string_view kQELMsgObjectTypeExpected =
    "Object type keyword expected, but '%s' found at line %d, column %d";
inline constexpr std::string_view kQELMsgEndExpected =
    "End of SQL command expected, but '%s' found at line %d, column %d";
inline constexpr std::string_view kQELMsgTableNameExpected =
    "Table name expected, but '%s' found at line %d, column %d";
inline constexpr std::string_view kQELMsgFieldNameExpected =
    "Field name expected, but '%s' found at line %d, column %d";
inline constexpr std::string_view kQELMsgFieldExpressionExpected =
    "Field name expected, but expression '%s...' found at line %d, column %d";
inline constexpr std::string_view kQELMsgIntegerExpected =
    "Integer expected, but '%s' found at line %d, column %d";
inline constexpr std::string_view kQELMsgExpressionExpected =
    "Expression expected, but '%s' found at line %d, column %d";
inline constexpr std::string_view kQELMsgPseudonymExpected =
    "Field pseudonym expected, but '%s' found at line %d, column %d";
inline constexpr std::string_view kQELMsgPasswordExpected =
    "Quoted password expected (for PASSWORD \"passwordData\"), but '%s' found at line %d, column %d";
inline constexpr std::string_view kQELMsgSortKeyExpected =
    "Sort specification expected, but '%s' found at line %d, column %d";
inline constexpr std::string_view kQELMsgParenthesisOrCommaExpected =
    "')' or ',' symbol expected, but '%s' found at line %d, column %d";
inline constexpr std::string_view kQELMsgLeftParenthesisExpected =
    "'(' symbol expected, but '%s' found at line %d, column %d";
inline constexpr std::string_view kQELMsgRightParenthesisExpected =
    "')' symbol expected, but '%s' found at line %d, column %d";
inline constexpr std::string_view kQELMsgDecimalExpected =
    "Decimal constant expected, but '%s' found at line %d, column %d";
inline constexpr std::string_view kQELMsgIndexNameExpected =
    "index name expected, but '%s' found at line %d, column %d";

// The processor.
inline constexpr std::int32_t kQELErrNoCommand = 30145;
inline constexpr std::int32_t kQELErrNoFirstToken = 30146;
inline constexpr std::int32_t kQELErrEndExpected = 20260;
// Any helper that runs out of tokens.
inline constexpr std::int32_t kQELErrUnexpectedEndOfCommand = 30161;
inline constexpr std::int32_t kQELErrUnionInto = 20272;
inline constexpr std::int32_t kQELErrValueCountMismatch = 20259;

// Codes of failures this parser adds.
// A statement handed to Execute while no query layer is installed.
inline constexpr std::int32_t kQELErrNoExecutor = 30514;
// A string or byte column's size outside 1..kQELMaxColumnSize.
inline constexpr std::int32_t kQELErrColumnSize = 30515;
inline constexpr std::int32_t kQELMaxColumnSize = 65535;
// INSERT with neither VALUES nor SELECT after its table.
inline constexpr std::int32_t kQELErrValuesExpected = 30516;
// A DEFAULT that is no value of its column's type.
inline constexpr std::int32_t kQELErrBadDefault = 30517;
// Derived tables, parenthesised queries or table references nested past
// kQELMaxStatementDepth.
inline constexpr std::int32_t kQELErrStatementTooDeep = 30518;
// An UPDATE assignment without a value expression.
inline constexpr std::int32_t kQELErrAssignmentValue = 30519;
// An unknown BLOBCOMPRESSIONALGORITHM name.
inline constexpr std::int32_t kQELErrCompressionAlgorithm = 30520;

}  // namespace qel
