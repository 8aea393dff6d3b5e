// TiXmlDocument (TinyXML 2.6.2) keeps its error flag, id, description and
// location private and only lets SetError pick a description from its fixed
// table, which has neither the nesting error nor the failure texts of a save.
// An explicit instantiation may name private members, which gives this file
// (and only this file) the member pointers it needs to record those errors
// in the document itself, where every caller already looks for them.
#include "configstore/tinyxml_errors.h"

namespace configstore {
namespace {

// Member(Field{}) is the pointer to one private member of TiXmlDocument; the
// number only tells the fields apart.  Each field's friend is meant to be a
// plain function, defined by its explicit instantiation below.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-template-friend"
#endif
template <typename T, int kField>
struct DocumentField {
  using Type = T TiXmlDocument::*;
  friend Type Member(DocumentField);
};
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
template <typename Field, typename Field::Type kMember>
struct MemberAccess {
  friend typename Field::Type Member(Field) { return kMember; }
};
using ErrorFlag = DocumentField<bool, 0>;
using ErrorId = DocumentField<int, 1>;
using ErrorDesc = DocumentField<TIXML_STRING, 2>;
using ErrorLocation = DocumentField<TiXmlCursor, 3>;
template struct MemberAccess<ErrorFlag, &TiXmlDocument::error>;
template struct MemberAccess<ErrorId, &TiXmlDocument::errorId>;
template struct MemberAccess<ErrorDesc, &TiXmlDocument::errorDesc>;
template struct MemberAccess<ErrorLocation, &TiXmlDocument::errorLocation>;

}  // namespace

void SetXmlError(TiXmlDocument& document, int id, const std::string& description,
                 bool setFlag) {
  if (setFlag) document.*Member(ErrorFlag{}) = true;
  document.*Member(ErrorId{}) = id;
  document.*Member(ErrorDesc{}) = description;
}

void SetXmlErrorLocation(TiXmlDocument& document, const TiXmlCursor& location) {
  document.*Member(ErrorLocation{}) = location;
}

// Row and column (from 0) of `offset`, counted as TinyXML counts them.
TiXmlCursor CursorAt(const char* text, size_t offset, int tabSize) {
  TiXmlCursor cursor;
  cursor.row = 0;
  cursor.col = 0;
  if (tabSize < 1) return cursor;
  const char* end = text + offset;
  for (const char* p = text; p < end && *p;) {
    if (*p == '\r' || *p == '\n') {
      const char other = *p == '\r' ? '\n' : '\r';
      ++cursor.row;
      cursor.col = 0;
      ++p;
      if (p < end && *p == other) ++p;
    } else if (*p == '\t') {
      cursor.col = (cursor.col / tabSize + 1) * tabSize;
      ++p;
    } else {
      ++cursor.col;
      ++p;
    }
  }
  return cursor;
}

}  // namespace configstore
