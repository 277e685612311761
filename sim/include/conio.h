// Simulated console runtime: single-key input without echo, fed from the
// simulated machine's key queue.
#ifndef SIM_CONIO_H
#define SIM_CONIO_H
int _getch(void);
#endif
