# Sourced: sets $wine to the Wine loader for $WINEARCH. In a 64-bit prefix a
# system program named without a path (cscript, regsvr32, regedit) must be
# started by the 64-bit loader: the 32-bit one starts the program's 32-bit
# copy, which sees the 32-bit registry and loads only 32-bit DLLs.
if [ "${WINEARCH:-win32}" = win64 ]; then
  wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
else
  wine=wine
fi
