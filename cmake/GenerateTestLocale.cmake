# cmake -DLOCALE=de_DE -DCHARMAP=UTF-8 -DDIR=<folder> -P GenerateTestLocale.cmake
# Compiles one locale into DIR for the tests (used through LOCPATH). A failure
# is only reported here: the tests that need the locale say so themselves.
execute_process(COMMAND localedef -i ${LOCALE} -f ${CHARMAP} ${DIR}/${LOCALE}.${CHARMAP}
                RESULT_VARIABLE result OUTPUT_QUIET ERROR_VARIABLE error)
if(NOT EXISTS ${DIR}/${LOCALE}.${CHARMAP}/LC_COLLATE)
  message(WARNING "cannot generate the locale ${LOCALE}.${CHARMAP} for the tests (${result}): ${error}")
endif()
file(TOUCH ${DIR}/stamp)
