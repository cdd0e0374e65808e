#include "values/QELBaseFieldType.h"

#include "platform/QELException.h"

namespace qel {

std::int32_t GetDataSize(TQELBaseFieldType baseType, std::int32_t size) {
  switch (baseType) {
    case bftFixedChar:
    case bftString:
      return size + 1;
    case bftFixedWideChar:
    case bftWideString:
      return (size + 1) * 2;
    case bftShortint:
    case bftByte:
      return 1;
    case bftSmallint:
    case bftWord:
    case bftBoolean:
      return 2;
    case bftInteger:
    case bftCardinal:
    case bftSingle:
    case bftDate:
    case bftTime:
      return 4;
    case bftLargeint:
    case bftDouble:
    case bftDateTime:
    case bftCurrency:
      return 8;
    case bftExtended:
      return 10;
    case bftBlob:
    case bftMemo:
    case bftWideMemo:
      return kQELBlobMemorySlotSize;
    case bftBytes:
    case bftVarBytes:
      return size;
    case bftUnknown:
      break;
  }
  throw EQELException(30050, "Unknown DataType: '%s'", {BaseFieldTypeName(baseType)});
}

}  // namespace qel
