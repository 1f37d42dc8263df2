# Run at build time (cmake -P) in a folder of its own: builds the example
# rolekit.msi with wixl so that the same inputs give the same bytes.
#   WIXL, MSIBUILD, FAKETIME               the tools
#   WXS, VERSION, OUTPUT                   the source, the version, the package
#   ROLEKIT_EXE, CUSTOM_ACTION_DLL, NOTICES the files it carries
#   SOURCE_DATE_EPOCH                      the release's time
# The product and package codes are name-based UUIDs of the version and the
# package's contents: a rebuild of one release is the same package, and any
# change makes a new one. wixl takes the product code from the source but
# draws a random package code and writes the clock into the summary
# information, so msibuild sets the package code afterwards and both tools
# run on a clock stopped at the release's time. The cabinet keeps each file's
# time in local time: the copies get the release's time, and the zone is UTC.
set(namespace 4F1B2D6C-35A0-4C0E-9C43-0D1E6A5B7C21)  # rolekit's example package
set(contents "${VERSION}")
foreach(file IN ITEMS ${ROLEKIT_EXE} ${CUSTOM_ACTION_DLL} ${NOTICES} ${WXS})
  get_filename_component(name ${file} NAME)
  file(SHA256 ${file} digest)
  string(APPEND contents "|${name}=${digest}")
endforeach()
string(UUID product NAMESPACE ${namespace} NAME "product|${contents}" TYPE SHA1 UPPER)
string(UUID package NAMESPACE ${namespace} NAME "package|${contents}" TYPE SHA1 UPPER)

# wixl takes only relative source paths: the files are copied beside it.
set(names)
foreach(file IN ITEMS ROLEKIT_EXE CUSTOM_ACTION_DLL NOTICES)
  get_filename_component(${file}_NAME ${${file}} NAME)
  file(COPY_FILE ${${file}} ${${file}_NAME})
  list(APPEND names ${${file}_NAME})
endforeach()
execute_process(COMMAND touch -d @${SOURCE_DATE_EPOCH} ${names} COMMAND_ERROR_IS_FATAL ANY)
set(ENV{SOURCE_DATE_EPOCH} ${SOURCE_DATE_EPOCH})
string(TIMESTAMP clock "%Y-%m-%d %H:%M:%S" UTC)
set(ENV{TZ} UTC0)
execute_process(
  COMMAND ${FAKETIME} -f ${clock} ${WIXL} -a x64 -D Version=${VERSION} -D ProductCode=${product}
          -D RolekitExe=${ROLEKIT_EXE_NAME} -D CustomActionDll=${CUSTOM_ACTION_DLL_NAME}
          -D Notices=${NOTICES_NAME} -o ${OUTPUT} ${WXS}
  COMMAND_ERROR_IS_FATAL ANY)
execute_process(
  COMMAND ${FAKETIME} -f ${clock} ${MSIBUILD} ${OUTPUT} -s "rolekit example" "rolekit contributors" "x64;1033"
          "{${package}}"
  COMMAND_ERROR_IS_FATAL ANY)
# wixl leaves out the upgrade rows' include-maximum and only-detect bits:
# without the first a package of the same version is never found and a
# rebuild installs beside it, without the second a newer version would be
# removed. msibuild cannot set that key column row by row, so the newer
# version's row is made again: only detected (2), its minimum excluded.
file(STRINGS ${WXS} upgrade REGEX "<Upgrade Id=")
string(REGEX REPLACE ".*Id=\"([^\"]+)\".*" "\\1" upgrade "${upgrade}")
execute_process(
  COMMAND ${FAKETIME} -f ${clock} ${MSIBUILD} ${OUTPUT}
          -q "DELETE FROM `Upgrade` WHERE `ActionProperty`='ROLEKIT_NEWER'"
          -q "UPDATE `Upgrade` SET `Attributes`=768"
          -q "INSERT INTO `Upgrade` (`UpgradeCode`, `VersionMin`, `Attributes`, `ActionProperty`)
              VALUES ('{${upgrade}}', '${VERSION}', 2, 'ROLEKIT_NEWER')"
  COMMAND_ERROR_IS_FATAL ANY)
