// Resource ids of dimmerly, shared by dimmerly.rc and the code.
#ifndef DIMMERLY_RESOURCE_H_
#define DIMMERLY_RESOURCE_H_

#define IDD_POWER 129
#define IDC_MR_SENSOR 1000
#define IDC_KEEP_BACKLIGHT 1001
#define IDC_BRIGHTNESS 1002
#define IDC_TIMEOUT 1003

#endif  // DIMMERLY_RESOURCE_H_
