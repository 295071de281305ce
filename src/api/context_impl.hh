#pragma once

#include <memory>
#include <string>

#include "tessal/context.hh"

namespace tessal {

class socketfactory;

class context::context_impl {
public:
    context_impl();
    // "host@user"; a part the system cannot tell is replaced by 10 random
    // characters.
    std::string generate_cname() const;

    std::string cname;
    std::shared_ptr<socketfactory> sf;
};

}  // namespace tessal
