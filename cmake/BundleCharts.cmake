# Run as a build step (cmake -P): installs the report's chart library from the pinned lock file
# with npm ci into WORK, then writes OUT: the three browser bundles (vega, vega-lite,
# vega-embed) one after the other, the text the report inlines in one <script> element.
# Needs: -DNPM=path -DSOURCE=folder with package.json and package-lock.json -DWORK=folder -DOUT=file
file(MAKE_DIRECTORY ${WORK})
configure_file(${SOURCE}/package.json ${WORK}/package.json COPYONLY)
configure_file(${SOURCE}/package-lock.json ${WORK}/package-lock.json COPYONLY)
execute_process(COMMAND ${NPM} ci --no-audit --no-fund --ignore-scripts --loglevel=error
                WORKING_DIRECTORY ${WORK} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "npm could not install the report's chart library (vega, vega-lite, vega-embed, pinned "
                      "in reports/web/package-lock.json); the build needs the npm registry once. npm said:\n${err}")
endif()
set(text "")
foreach(bundle vega/build/vega.min.js vega-lite/build/vega-lite.min.js vega-embed/build/vega-embed.min.js)
  if(NOT EXISTS ${WORK}/node_modules/${bundle})
    message(FATAL_ERROR "npm installed the chart library without ${bundle}")
  endif()
  file(READ ${WORK}/node_modules/${bundle} part)
  # Inside a <script> element only "</script" could end it early; "<\/" means the same in JS.
  string(REPLACE "</script" "<\\/script" part "${part}")
  string(REPLACE "</SCRIPT" "<\\/SCRIPT" part "${part}")
  string(APPEND text "${part}\n")
endforeach()
file(WRITE ${OUT}.partial "${text}")
file(RENAME ${OUT}.partial ${OUT})
