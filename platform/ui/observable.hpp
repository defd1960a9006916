#pragma once
// Stand-in for observable properties and the change observers a view attaches to them: a value
// whose observers hear of every change with the old and the new value, and never of the value they
// find when they start observing. Setting the same value again tells nobody.
//
// Used on one thread (the main queue): observers run inside set(), in the order they were attached.
// An observer may attach or detach observers; those changes apply from the next set().

#include <algorithm>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

namespace MivoKit {

namespace platform::ui {

template <class T>
class Observable {
public:
    using Observer = std::function<void(const T& oldValue, const T& newValue)>;

    // Keeps its observer attached while it lives.
    class Subscription {
    public:
        Subscription() = default;
        Subscription(Subscription&&) noexcept = default;
        Subscription& operator=(Subscription&& other) noexcept {
            cancel();
            observers_ = std::move(other.observers_);
            id_ = other.id_;
            return *this;
        }
        ~Subscription() { cancel(); }
        void cancel() {
            if (auto observers = observers_.lock())
                std::erase_if(*observers, [this](const auto& entry) { return entry.first == id_; });
            observers_.reset();
        }

    private:
        friend class Observable;
        Subscription(std::weak_ptr<std::vector<std::pair<std::size_t, Observer>>> observers, std::size_t id)
            : observers_(std::move(observers)), id_(id) {}
        std::weak_ptr<std::vector<std::pair<std::size_t, Observer>>> observers_;
        std::size_t id_ = 0;
    };

    explicit Observable(T initial = T{}) : value_(std::move(initial)) {}

    const T& get() const { return value_; }
    operator const T&() const { return value_; }

    // Stores `value`; true, after telling every observer, when it differs from the old one.
    bool set(T value) {
        if (value == value_) return false;
        T old = std::exchange(value_, std::move(value));
        const auto observers = *observers_; // a copy: observers may attach or detach others
        for (const auto& [id, observer] : observers) observer(old, value_);
        return true;
    }

    [[nodiscard]] Subscription onChange(Observer observer) {
        observers_->emplace_back(++lastId_, std::move(observer));
        return Subscription(observers_, lastId_);
    }
    std::size_t observerCount() const { return observers_->size(); }

private:
    T value_;
    std::shared_ptr<std::vector<std::pair<std::size_t, Observer>>> observers_ =
        std::make_shared<std::vector<std::pair<std::size_t, Observer>>>();
    std::size_t lastId_ = 0;
};

} // namespace platform::ui

} // namespace MivoKit
