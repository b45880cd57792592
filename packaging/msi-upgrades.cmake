# Completes what wixl leaves out of the MSI (run with -DMSI=<file> -DWORK=<folder>):
# - an earlier install of this very version counts as one to replace (the Upgrade row that
#   finds earlier installs includes its maximum: attributes 256 + 512);
# - the earlier install is removed right after InstallInitialize, before anything of this
#   one is written, so a rebuild replaces every file and key;
# - CHROME_EXTENSIONS and FIREFOX_EXTENSIONS reach the part of the install that runs as the
#   machine (SecureCustomProperties), and the ids an earlier install kept are taken up right
#   after AppSearch has found them (wixl places the actions after the last custom one).
find_program(MSIINFO msiinfo REQUIRED)
find_program(MSIBUILD msibuild REQUIRED)
file(MAKE_DIRECTORY "${WORK}")

function(edit_table table from to)
  execute_process(COMMAND "${MSIINFO}" export "${MSI}" ${table} OUTPUT_VARIABLE rows COMMAND_ERROR_IS_FATAL ANY)
  string(REGEX REPLACE "${from}" "${to}" edited "${rows}")
  if(edited STREQUAL rows)
    message(FATAL_ERROR "the MSI's ${table} table has no row like '${from}'")
  endif()
  file(WRITE "${WORK}/${table}.idt" "${edited}")
  execute_process(COMMAND "${MSIBUILD}" "${MSI}" -i "${WORK}/${table}.idt" COMMAND_ERROR_IS_FATAL ANY)
endfunction()

edit_table(Upgrade "\t256\t\tPREVIOUS_INSTALLS" "\t768\t\tPREVIOUS_INSTALLS")
edit_table(InstallExecuteSequence "\nRemoveExistingProducts\t\t[0-9]+" "\nRemoveExistingProducts\t\t1501")
foreach(sequence InstallExecuteSequence InstallUISequence)
  edit_table(${sequence} "\nKeepChromeExtensions\t([^\t\n]*)\t[0-9]+" "\nKeepChromeExtensions\t\\1\t51")
  edit_table(${sequence} "\nKeepFirefoxExtensions\t([^\t\n]*)\t[0-9]+" "\nKeepFirefoxExtensions\t\\1\t52")
endforeach()
edit_table(Property "\nSecureCustomProperties\t" "\nSecureCustomProperties\tCHROME_EXTENSIONS;FIREFOX_EXTENSIONS;")
