// SPDX-License-Identifier: MIT
#include "tvkbytearray.h"

#include <cstring>

namespace Quorvan {

CtvkByteArray::CtvkByteArray() noexcept = default;

CtvkByteArray::CtvkByteArray(const char* data, int size)
{
    if (!data)
        return;
    const std::size_t n = size < 0 ? std::strlen(data) : static_cast<std::size_t>(size);
    m_data = std::make_shared<std::string>(data, n);
}

CtvkByteArray::CtvkByteArray(std::string bytes) : m_data(std::make_shared<std::string>(std::move(bytes))) {}
CtvkByteArray::CtvkByteArray(const CtvkByteArray&) noexcept = default;
CtvkByteArray::CtvkByteArray(CtvkByteArray&&) noexcept = default;
CtvkByteArray& CtvkByteArray::operator=(const CtvkByteArray&) noexcept = default;
CtvkByteArray& CtvkByteArray::operator=(CtvkByteArray&&) noexcept = default;
CtvkByteArray::~CtvkByteArray() = default;

bool CtvkByteArray::isNull() const noexcept { return !m_data; }
bool CtvkByteArray::isEmpty() const noexcept { return !m_data || m_data->empty(); }
long long CtvkByteArray::size() const noexcept { return m_data ? static_cast<long long>(m_data->size()) : 0; }
const char* CtvkByteArray::constData() const noexcept { return m_data ? m_data->c_str() : ""; }

char* CtvkByteArray::data()
{
    detach();
    return &(*m_data)[0];
}

std::string CtvkByteArray::toStdString() const { return m_data ? *m_data : std::string(); }

void CtvkByteArray::resize(long long size)
{
    detach();
    m_data->resize(size < 0 ? 0 : static_cast<std::size_t>(size));
}

CtvkByteArray& CtvkByteArray::append(const char* data, long long size)
{
    detach();
    if (data && size > 0)
        m_data->append(data, static_cast<std::size_t>(size));
    return *this;
}

bool CtvkByteArray::operator==(const CtvkByteArray& other) const noexcept
{
    if (m_data == other.m_data)
        return true;
    return size() == other.size() && std::memcmp(constData(), other.constData(), static_cast<std::size_t>(size())) == 0;
}

// Gives this array a buffer of its own (creating one for a null array), so a
// write never shows through in a copy.
void CtvkByteArray::detach()
{
    if (!m_data)
        m_data = std::make_shared<std::string>();
    else if (m_data.use_count() > 1)
        m_data = std::make_shared<std::string>(*m_data);
}

} // namespace Quorvan
