// Resource ids of keyloom, shared by keyloom.rc and the code.
#ifndef KEYLOOM_RESOURCE_H_
#define KEYLOOM_RESOURCE_H_

#define IDD_KEY_CAPTURE 101
#define IDD_KEY_CONFIG 102

// The capture dialog's invisible edit control, which takes the key press.
#define IDC_CAPTURE_EDIT 1002

// The assignment dialog's rows: row i (0 to 15) has its caption field at
// IDC_ROW_CAPTION + 3i, its key field one id above and its choose button
// two above.
#define IDC_ROW_CAPTION 1001
#define IDC_ROW_KEY 1002
#define IDC_ROW_CHOOSE 1003
#define ROW_ID_STEP 3
#define ROWS_PER_PAGE 16

#endif  // KEYLOOM_RESOURCE_H_
