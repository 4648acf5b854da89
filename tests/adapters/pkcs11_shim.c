/* A PKCS#11 module for tests that passes everything to SoftHSM2 but can make its tokens
 * look like a card with a PIN pad or a locked PIN, which SoftHSM2 cannot be made into.
 * The mode is read at each call from the file $NOX_TEST_SHIM_FILE:
 *   "pinpad"      the token has a protected authentication path; a login without PIN
 *                 logs in with PIN 1234 (as if typed on the keypad)
 *   "locked"      the user PIN is locked (flag set, login refused)
 *   "lockOnLogin" the flags look fine but the login answers that the PIN is locked
 *   "finalTry"    one try is left; a wrong PIN then locks it (login refused) */
#include <dlfcn.h>
#include <p11-kit/pkcs11.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static CK_FUNCTION_LIST real_;
static CK_FUNCTION_LIST shim_;
static int loaded_;

static int mode(const char* name) {
  const char* path = getenv("NOX_TEST_SHIM_FILE");
  char text[32] = {0};
  FILE* f = path != NULL ? fopen(path, "r") : NULL;
  if (f == NULL) return 0;
  size_t n = fread(text, 1, sizeof text - 1, f);
  fclose(f);
  while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == ' ')) text[--n] = '\0';
  return strcmp(text, name) == 0;
}

static CK_RV shimTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO_PTR info) {
  CK_RV rv = real_.C_GetTokenInfo(slot, info);
  if (rv != CKR_OK) return rv;
  if (mode("pinpad")) info->flags |= CKF_PROTECTED_AUTHENTICATION_PATH;
  if (mode("locked")) info->flags |= CKF_USER_PIN_LOCKED;
  if (mode("finalTry")) info->flags |= CKF_USER_PIN_FINAL_TRY;
  return CKR_OK;
}

static CK_RV shimLogin(CK_SESSION_HANDLE session, CK_USER_TYPE user, CK_UTF8CHAR_PTR pin, CK_ULONG length) {
  if (mode("locked") || mode("lockOnLogin")) return CKR_PIN_LOCKED;
  if (mode("pinpad")) {
    if (pin != NULL) return CKR_ARGUMENTS_BAD; /* a PIN pad never gets the PIN from the host */
    return real_.C_Login(session, user, (CK_UTF8CHAR_PTR) "1234", 4);
  }
  CK_RV rv = real_.C_Login(session, user, pin, length);
  if (rv == CKR_PIN_INCORRECT && mode("finalTry")) {
    FILE* f = fopen(getenv("NOX_TEST_SHIM_FILE"), "w");
    if (f != NULL) {
      fputs("locked\n", f);
      fclose(f);
    }
  }
  return rv;
}

__attribute__((visibility("default"))) CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list) {
  if (list == NULL) return CKR_ARGUMENTS_BAD;
  if (!loaded_) {
    void* library = dlopen("/usr/lib/softhsm/libsofthsm2.so", RTLD_NOW | RTLD_LOCAL);
    CK_C_GetFunctionList get = library != NULL ? (CK_C_GetFunctionList) dlsym(library, "C_GetFunctionList") : NULL;
    CK_FUNCTION_LIST_PTR inner = NULL;
    if (get == NULL || get(&inner) != CKR_OK || inner == NULL) return CKR_GENERAL_ERROR;
    real_ = *inner;
    shim_ = *inner;
    shim_.C_GetFunctionList = C_GetFunctionList;
    shim_.C_GetTokenInfo = shimTokenInfo;
    shim_.C_Login = shimLogin;
    loaded_ = 1;
  }
  *list = &shim_;
  return CKR_OK;
}
