/* A PKCS#11 module for tests that passes everything to SoftHSM2 but can make its tokens
 * look like a card with a PIN pad or a locked PIN, which SoftHSM2 cannot be made into.
 * The mode is read at each call from the file $NOX_TEST_SHIM_FILE:
 *   "pinpad"      the token has a protected authentication path; a login without PIN
 *                 logs in with PIN 1234 (as if typed on the keypad)
 *   "locked"      the user PIN is locked (flag set, login refused)
 *   "lockOnLogin" the flags look fine but the login answers that the PIN is locked
 *   "finalTry"    one try is left; a wrong PIN then locks it (login refused)
 *   "slotsFail"   the slot list fails (CKR_DEVICE_ERROR); "infoFail": the token information does
 *   "removed"     the card was taken out: no slot has a token, and a slot asked anyway
 *                 answers that its token is not present
 *   "slowScan"    every slot list takes a second, as a module does that tries each of its card
 *                 drivers on a card none of them knows; "slowRemoved": that, and "removed"
 *   "hang"        a module that stops answering: every call below waits for as long as the
 *                 file says "hang" (a test ends the hang by changing or removing the file)
 * Every call below also appends a line to $NOX_TEST_SHIM_FILE.calls, so a test can tell
 * whether the module was touched at all. */
#include <dlfcn.h>
#include <p11-kit/pkcs11.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

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

static void noteCall(void) {
  const char* path = getenv("NOX_TEST_SHIM_FILE");
  if (path == NULL) return;
  char calls[4096];
  if (snprintf(calls, sizeof calls, "%s.calls", path) >= (int) sizeof calls) return;
  FILE* f = fopen(calls, "a");
  if (f == NULL) return;
  fputs("call\n", f);
  fclose(f);
}

static void hangWhileAsked(void) {
  noteCall();
  while (mode("hang")) usleep(50 * 1000);
}

/* Every call a consumer makes on its way to a signature, each passed on after
 * hangWhileAsked(). */
#define SHIM_HANGING(name, params, args)   \
  static CK_RV hang_##name params {        \
    hangWhileAsked();                      \
    return real_.name args;                \
  }
SHIM_HANGING(C_Initialize, (CK_VOID_PTR a), (a))
SHIM_HANGING(C_Finalize, (CK_VOID_PTR a), (a))
SHIM_HANGING(C_GetInfo, (CK_INFO_PTR a), (a))
SHIM_HANGING(C_GetSlotInfo, (CK_SLOT_ID a, CK_SLOT_INFO_PTR b), (a, b))
SHIM_HANGING(C_CloseSession, (CK_SESSION_HANDLE a), (a))
SHIM_HANGING(C_CloseAllSessions, (CK_SLOT_ID a), (a))
SHIM_HANGING(C_Logout, (CK_SESSION_HANDLE a), (a))
SHIM_HANGING(C_FindObjectsInit, (CK_SESSION_HANDLE a, CK_ATTRIBUTE_PTR b, CK_ULONG c), (a, b, c))
SHIM_HANGING(C_FindObjects, (CK_SESSION_HANDLE a, CK_OBJECT_HANDLE_PTR b, CK_ULONG c, CK_ULONG_PTR d), (a, b, c, d))
SHIM_HANGING(C_FindObjectsFinal, (CK_SESSION_HANDLE a), (a))
SHIM_HANGING(C_GetAttributeValue, (CK_SESSION_HANDLE a, CK_OBJECT_HANDLE b, CK_ATTRIBUTE_PTR c, CK_ULONG d),
             (a, b, c, d))
SHIM_HANGING(C_SignInit, (CK_SESSION_HANDLE a, CK_MECHANISM_PTR b, CK_OBJECT_HANDLE c), (a, b, c))
SHIM_HANGING(C_Sign, (CK_SESSION_HANDLE a, CK_BYTE_PTR b, CK_ULONG c, CK_BYTE_PTR d, CK_ULONG_PTR e), (a, b, c, d, e))
#undef SHIM_HANGING

static int removed(void) { return mode("removed") || mode("slowRemoved"); }

static CK_RV shimSlotList(CK_BBOOL present, CK_SLOT_ID_PTR slots, CK_ULONG_PTR count) {
  hangWhileAsked();
  if (mode("slowScan") || mode("slowRemoved")) sleep(1);
  if (mode("slotsFail")) return CKR_DEVICE_ERROR;
  if (present && removed() && count != NULL) {
    *count = 0;
    return CKR_OK;
  }
  return real_.C_GetSlotList(present, slots, count);
}

static CK_RV shimOpenSession(CK_SLOT_ID slot, CK_FLAGS flags, CK_VOID_PTR app, CK_NOTIFY notify,
                             CK_SESSION_HANDLE_PTR session) {
  hangWhileAsked();
  if (removed()) return CKR_TOKEN_NOT_PRESENT;
  return real_.C_OpenSession(slot, flags, app, notify, session);
}

static CK_RV shimTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO_PTR info) {
  hangWhileAsked();
  if (removed()) return CKR_TOKEN_NOT_PRESENT;
  if (mode("infoFail")) return CKR_DEVICE_ERROR;
  CK_RV rv = real_.C_GetTokenInfo(slot, info);
  if (rv != CKR_OK) return rv;
  if (mode("pinpad")) info->flags |= CKF_PROTECTED_AUTHENTICATION_PATH;
  if (mode("locked")) info->flags |= CKF_USER_PIN_LOCKED;
  if (mode("finalTry")) info->flags |= CKF_USER_PIN_FINAL_TRY;
  return CKR_OK;
}

static CK_RV shimLogin(CK_SESSION_HANDLE session, CK_USER_TYPE user, CK_UTF8CHAR_PTR pin, CK_ULONG length) {
  hangWhileAsked();
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
    shim_.C_Initialize = hang_C_Initialize;
    shim_.C_Finalize = hang_C_Finalize;
    shim_.C_GetInfo = hang_C_GetInfo;
    shim_.C_GetSlotList = shimSlotList;
    shim_.C_GetSlotInfo = hang_C_GetSlotInfo;
    shim_.C_OpenSession = shimOpenSession;
    shim_.C_CloseSession = hang_C_CloseSession;
    shim_.C_CloseAllSessions = hang_C_CloseAllSessions;
    shim_.C_Logout = hang_C_Logout;
    shim_.C_FindObjectsInit = hang_C_FindObjectsInit;
    shim_.C_FindObjects = hang_C_FindObjects;
    shim_.C_FindObjectsFinal = hang_C_FindObjectsFinal;
    shim_.C_GetAttributeValue = hang_C_GetAttributeValue;
    shim_.C_SignInit = hang_C_SignInit;
    shim_.C_Sign = hang_C_Sign;
    loaded_ = 1;
  }
  *list = &shim_;
  return CKR_OK;
}
