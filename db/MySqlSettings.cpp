// The connection's settings: the mysql element of the settings file, the
// host of the command line, the board's name for the source column.
#include "KMySql.h"

#include <cstdio>
#include <cstring>

#include "KXmlNodeList.h"
#include "Report.h"

namespace {

// Copies a connection parameter into its field; refuses one that does not
// fit rather than cutting it. `what` names it in the message.
bool CopyParam(char* field, const char* value, const char* what) {
  if (std::strlen(value) >= static_cast<std::size_t>(KMySql::cFieldSize)) {
    NReport::Failure("%s too long (more than %d characters)\n", what, KMySql::cFieldSize - 1);
    return false;
  }
  std::snprintf(field, KMySql::cFieldSize, "%s", value);
  return true;
}

} // namespace

bool KMySql::SetHost(const char* host) { return CopyParam(mHost, host, "mysql host"); }

bool KMySql::SetSource(const char* source) {
  if (source == nullptr)
    source = "";
  std::size_t length = std::strlen(source);
  bool valid = length < static_cast<std::size_t>(cSourceSize);
  for (const char* p = source; valid && *p != 0; ++p)
    valid = (*p >= 'a' && *p <= 'z') || (*p >= 'A' && *p <= 'Z') || (*p >= '0' && *p <= '9') ||
            *p == '.' || *p == '_' || *p == '-';
  if (!valid) {
    NReport::Failure("mysql/Source refused: at most %d letters, digits, '.', '_' or '-'\n",
                cSourceSize - 1);
    return false;
  }
  std::snprintf(mSource, sizeof(mSource), "%s", source);
  return true;
}

bool KMySql::ReadXmlParams(const KXmlNode* root) {
  struct {
    char* mField;
    const char* mElement;
    const char* mAttr;
    const char* mFallbackElement;
    const char* mFallbackAttr;
  } params[] = {
      {mHost, "mysql", "Host", "ip_address", "Name"},
      {mUser, "mysql", "User", nullptr, nullptr},
      {mPassword, "mysql", "Password", "mysql", "PW"},
      {mDatabase, "mysql", "DB", "mysql", "Database"},
  };
  if (root == nullptr)
    return true;
  for (const auto& p : params) {
    const char* element = p.mElement;
    const char* attr = p.mAttr;
    const char* value = root->FindNodeAttr(element, attr);
    if (value == nullptr && p.mFallbackElement != nullptr) {
      element = p.mFallbackElement;
      attr = p.mFallbackAttr;
      value = root->FindNodeAttr(element, attr);
    }
    char what[64];
    std::snprintf(what, sizeof(what), "%s/%s", element, attr);
    if (value != nullptr && !CopyParam(p.mField, value, what))
      return false;
  }
  const char* source = root->FindNodeAttr("mysql", "Source");
  return source == nullptr || SetSource(source);
}

void KMySql::PrintOpenFailure() const {
  // The password stays out of the console and the service log.
  NReport::Failure("can not open database \"%s\" (Host: %s  User: %s,  Password: ***)\n", mDatabase,
              mHost, mUser);
}

bool KMySql::GetXmlParams(const KXmlNode* root) {
  if (!ReadXmlParams(root))
    return false;
  if (Open()) {
    Close();
    return true;
  }
  PrintOpenFailure();
  return false;
}
