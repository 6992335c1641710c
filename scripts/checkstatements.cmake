# Fails when compiled product code outside db/ runs a statement itself:
# every statement goes through db/'s StatementRunner, which times it out,
# reopens a lost connection once and tells a refusal from a lost server.
# Run as a test with NM (the nm program) and OBJECTS (object files); an
# object built from a source in a folder named db/ may run them.
set(forbidden
    "QSqlQuery::exec("
    "QSqlQuery::execBatch("
    "QSqlDatabase::exec("
    "QSqlDatabase::transaction("
    "QSqlDatabase::commit("
    "QSqlDatabase::rollback(")
set(found "")
set(checked 0)
foreach(object ${OBJECTS})
    if(object MATCHES "/db/[^/]+\\.o$")
        continue()
    endif()
    math(EXPR checked "${checked} + 1")
    execute_process(COMMAND "${NM}" -C --undefined-only "${object}"
                    OUTPUT_VARIABLE symbols RESULT_VARIABLE status ERROR_VARIABLE errors)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "${NM} could not read ${object}: ${errors}")
    endif()
    foreach(name ${forbidden})
        string(FIND "${symbols}" "${name}" at)
        if(NOT at EQUAL -1)
            get_filename_component(file "${object}" NAME)
            list(APPEND found "${file}: ${name}...")
        endif()
    endforeach()
endforeach()
if(checked EQUAL 0)
    message(FATAL_ERROR "No object files to check.")
endif()
if(found)
    list(JOIN found "\n  " text)
    message(FATAL_ERROR "These objects run statements outside db/ (run them through StatementRunner, on a "
                        "DbWorker's connection):\n  ${text}")
endif()
message(STATUS "${checked} objects checked: no statement outside db/.")
