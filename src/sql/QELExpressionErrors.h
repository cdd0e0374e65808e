#pragma once
// Native codes and messages of the expression nodes' and the expression
// parser's errors that more than one place raises or that tests name. The
// parser's syntax errors carry their codes where they are raised.

#include <cstdint>
#include <string_view>

namespace qel {

// Evaluation.
inline constexpr std::int32_t kQELErrUnknownBooleanOperator = 30116;
inline constexpr std::int32_t kQELErrUnknownComparisonOperator = 30117;
inline constexpr std::int32_t kQELErrUnknownArithmeticOperator = 30121;
inline constexpr std::int32_t kQELErrUnknownStringOperator = 30131;
inline constexpr std::int32_t kQELErrUnknownDateOperator = 30130;
inline constexpr std::int32_t kQELErrUnknownAggregateOperator = 30134;
inline constexpr std::int32_t kQELErrUnknownSystemOperator = 30338;
inline constexpr std::string_view kQELUnknownOperatorMsg = "Unknown operator: '%s'";

inline constexpr std::int32_t kQELErrNotStringArgument = 30120;
inline constexpr std::string_view kQELNotStringArgumentMsg = "Not string argument in function '%s'";
inline constexpr std::int32_t kQELErrSumNotNumeric = 30132;
inline constexpr std::int32_t kQELErrAvgNotNumeric = 30133;
inline constexpr std::string_view kQELNotNumericMsg = "Not numeric argument in numeric operator '%s'";

inline constexpr std::int32_t kQELErrNoExpressionType = 30283;
inline constexpr std::int32_t kQELErrNoFieldType = 30284;
inline constexpr std::string_view kQELNoExpressionTypeMsg = "Cannot determine expression type";
inline constexpr std::int32_t kQELErrNoDataSource = 30196;
inline constexpr std::int32_t kQELErrCursorFieldNotFound = 30115;
inline constexpr std::int32_t kQELErrSourceFieldNotFound = 30197;
inline constexpr std::string_view kQELFieldNotFoundMsg = "Field '%s' not found";
inline constexpr std::int32_t kQELErrUnsupportedCastType = 30466;
inline constexpr std::int32_t kQELErrValueIsNull = 30110;
inline constexpr std::int32_t kQELErrNodeIsNotField = 30198;

// Function arguments and results out of their range: RAND(0), a count
// past 32 bits, CEIL of 1e10, SUM past 64 bits.
inline constexpr std::int32_t kQELErrInvalidArgument = 30510;
inline constexpr std::string_view kQELInvalidArgumentMsg = "Invalid argument for function '%s'";
inline constexpr std::int32_t kQELErrResultOutOfRange = 30511;
inline constexpr std::string_view kQELResultOutOfRangeMsg = "Result of function '%s' out of range";

// Parsed now, run by the query layer once it exists.
inline constexpr std::int32_t kQELErrSubqueryNotAvailable = 30512;
inline constexpr std::int32_t kQELErrLastAutoincNotAvailable = 30513;

// Parsing.
inline constexpr std::int32_t kQELErrNoConditionToken = 30118;
inline constexpr std::int32_t kQELErrBlankFilter = 30119;
inline constexpr std::int32_t kQELErrNoValueToken = 30136;
inline constexpr std::int32_t kQELErrNoSubqueryToken = 30497;
inline constexpr std::int32_t kQELErrNoCondition = 30066;
inline constexpr std::int32_t kQELErrKeyCountMismatch = 30112;
inline constexpr std::int32_t kQELErrUnexpectedEnd = 30063;
inline constexpr std::int32_t kQELErrUnexpectedToken = 30064;
inline constexpr std::int32_t kQELErrTruthValueExpected = 30067;
inline constexpr std::int32_t kQELErrAndOperandExpected = 30069;
inline constexpr std::int32_t kQELErrOrOperandExpected = 30070;
inline constexpr std::int32_t kQELErrEscapeLength = 20294;
inline constexpr std::int32_t kQELErrUnknownCastType = 30077;
// A number literal that names no value ("1.2.3", "1e999").
inline constexpr std::int32_t kQELErrInvalidNumber = 30507;
// Parentheses, CASEs and function calls nested past kQELMaxExpressionDepth.
inline constexpr std::int32_t kQELErrTooDeep = 30508;
inline constexpr std::int32_t kQELMaxExpressionDepth = 200;
// An operator of a string concatenation without an operand behind it.
inline constexpr std::int32_t kQELErrStringOperandExpected = 30509;

inline constexpr std::string_view kQELTokenExpectedMsg =
    "Token '%s' expected, but '%s' found at line %d, column %d";
inline constexpr std::string_view kQELArgumentExpectedMsg =
    "Argument expected for function '%s' at line %d, column %d";

}  // namespace qel
