# cmake -DFILE=path -P write_sha256.cmake: writes path.sha256 in the "digest  name" form that
# sha256sum -c reads.
file(SHA256 ${FILE} digest)
get_filename_component(name ${FILE} NAME)
file(WRITE ${FILE}.sha256 "${digest}  ${name}\n")
