/* Holds a card in a PC/SC transaction, as a program waiting for a PIN on the reader's
 * keypad does: connects shared to READER, begins a transaction, prints "held", and ends
 * the transaction (and exits) when its standard input reaches a line or its end.
 *   pcsc_hold READER          (PCSCLITE_CSOCK_NAME selects the daemon, as for any client) */
#include <stdio.h>
#include <winscard.h>

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  SCARDCONTEXT context = 0;
  SCARDHANDLE card = 0;
  DWORD protocol = 0;
  LONG rv = SCardEstablishContext(SCARD_SCOPE_USER, NULL, NULL, &context);
  if (rv == SCARD_S_SUCCESS)
    rv = SCardConnect(context, argv[1], SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card, &protocol);
  if (rv == SCARD_S_SUCCESS) rv = SCardBeginTransaction(card);
  if (rv != SCARD_S_SUCCESS) {
    printf("error 0x%08lX\n", (unsigned long) rv);
    return 1;
  }
  printf("held\n");
  fflush(stdout);
  char line[16];
  (void) fgets(line, sizeof line, stdin);
  SCardEndTransaction(card, SCARD_LEAVE_CARD);
  SCardDisconnect(card, SCARD_LEAVE_CARD);
  SCardReleaseContext(context);
  return 0;
}
